{ A sale check through Brenvik.Application with late binding, for Delphi
  (2009 or later) and Free Pascal.

  Delphi: open sale.dpr and build it as a console program.
  Free Pascal for Windows: fpc sale.dpr (a 32-bit compiler makes a 32-bit
  program, which uses the 32-bit BrenvikPlus.dll; both are registered by the
  installer).

  The source is UTF-8; the texts are passed as WideString, so they reach
  the server as UTF-16 and the printer right on a Western and on a Cyrillic
  Windows alike. Amounts are in kopecks.
  Early binding instead: add SDK\Brenvik_TLB.pas to the program, then
  CoMaria301.Create gives an IMaria301 whose failures raise EOleException.
  Run: sale 3 }
program Sale;

{$ifdef FPC}{$mode delphi}{$codepage utf8}{$endif}
{$apptype console}

uses
  SysUtils, Variants, ActiveX, ComObj;

var
  Printer: OleVariant;
  Port, Total: Integer;

procedure Fail(const Step: string);
begin
  WriteLn(Step, ' failed: ', string(Printer.LastErrorCode), ' ', string(Printer.LastErrorMessage));
  Printer.AbortCheck;
  Printer.Done;
  Halt(1);
end;

begin
  Port := 3;
  if ParamCount > 0 then
    Port := StrToInt(ParamStr(1));
  CoInitialize(nil);
  Printer := CreateOleObject('Brenvik.Application');
  Printer.ShowErrorMessages := 0;  { no message boxes: we report }

  if Printer.Init(Port, WideString('Олена'), WideString('1111'), 0, WideString('sale.dpr')) = 0 then
    Fail('Init');
  if Printer.OpenCheck(WideString('1')) = 0 then
    Fail('OpenCheck');
  { 3 pieces at 42.50 with tax A (index 1), article 101 }
  if Printer.FiscalLine(WideString('Молоко 2,5%'), 3, 4250, 0, 1, 0, 101) = 0 then
    Fail('FiscalLine');
  Total := Printer.CloseCheckEx(20000, 0, 0, 0);  { 200.00 in cash }
  if Total = 0 then
    Fail('CloseCheckEx');
  WriteLn('Check total: ', Format('%.2f', [Total / 100]));
  Printer.Done;
  Printer := Unassigned;
  CoUninitialize;
end.
