#include "testutil/window_text.h"

#include <cstddef>

namespace brenvik {
namespace testutil {
namespace {

struct Row {
    Text id;
    const char* text[3];  // English, Ukrainian, Russian
};

// In the order of Text; TextOf checks it.
const Row kRows[] = {
    {Text::Caption, {"Maria 301 MTM printer check", "Перевірка принтера Марія 301МТМ",
                     "Проверка принтера Мария 301МТМ"}},
    {Text::GroupConnection, {"Connection", "З'єднання", "Соединение"}},
    {Text::Port, {"Port:", "Порт:", "Порт:"}},
    {Text::Cashier, {"Cashier:", "Касир:", "Кассир:"}},
    {Text::Password, {"Password:", "Пароль:", "Пароль:"}},
    {Text::Baud, {"Baud:", "Швидкість:", "Скорость:"}},
    {Text::BaudOnlyOne, {"the printer and the driver work at this rate only",
                         "принтер і драйвер працюють лише на цій швидкості",
                         "принтер и драйвер работают только на этой скорости"}},
    {Text::Connect, {"Connect", "Під'єднати", "Подключить"}},
    {Text::Disconnect, {"Disconnect", "Від'єднати", "Отключить"}},
    {Text::Cancel, {"Cancel", "Скасувати", "Отменить"}},
    {Text::GroupStatus, {"Printer status", "Стан принтера", "Состояние принтера"}},
    {Text::Serial, {"Serial number:", "Серійний номер:", "Серийный номер:"}},
    {Text::Fiscal, {"Fiscal number:", "Фіскальний номер:", "Фискальный номер:"}},
    {Text::Key, {"Key position:", "Положення ключа:", "Положение ключа:"}},
    {Text::Documents, {"Documents:", "Документи:", "Документы:"}},
    {Text::Clock, {"Clock:", "Годинник:", "Часы:"}},
    {Text::Taxes, {"Taxes:", "Податки:", "Налоги:"}},
    {Text::Refresh, {"Read status", "Оновити стан", "Обновить"}},
    {Text::GroupActions, {"Actions", "Дії", "Действия"}},
    {Text::XReport, {"X-report", "X-звіт", "X-отчёт"}},
    {Text::NullCheck, {"Test check", "Тестовий чек", "Тестовый чек"}},
    {Text::SetClock, {"Clock from PC", "Час із ПК", "Время с ПК"}},
    {Text::LogView, {"Debug log", "Журнал", "Журнал"}},
    {Text::LogDirectory, {"Log folder", "Тека журналу", "Папка журнала"}},
    {Text::Amount, {"Amount:", "Сума, грн:", "Сумма, грн:"}},
    {Text::CashIn, {"Cash in", "Внесення", "Внесение"}},
    {Text::CashOut, {"Cash out", "Видача", "Выдача"}},
    {Text::OpConnect, {"connecting", "під'єднання", "подключение"}},
    {Text::OpDisconnect, {"disconnecting", "від'єднання", "отключение"}},
    {Text::OpRefresh, {"reading the status", "читання стану", "чтение состояния"}},
    {Text::OpXReport, {"X-report", "X-звіт", "X-отчёт"}},
    {Text::OpNullCheck, {"test check", "тестовий чек", "тестовый чек"}},
    {Text::OpCashIn, {"cash in", "внесення", "внесение"}},
    {Text::OpCashOut, {"cash out", "видача", "выдача"}},
    {Text::OpSetClock, {"setting the clock", "встановлення годинника", "установка часов"}},
    {Text::Wait, {"Please wait: ", "Зачекайте: ", "Подождите: "}},
    {Text::Done, {"Done: ", "Готово: ", "Готово: "}},
    {Text::Error, {"Error ", "Помилка ", "Ошибка "}},
    {Text::Cancelling, {"Cancelling: ", "Скасування: ", "Отмена: "}},
    {Text::Cancelled, {"Cancelled: ", "Скасовано: ", "Отменено: "}},
    {Text::PortClosed, {"; the port is closed.", "; порт закрито.", "; порт закрыт."}},
    {Text::StillWaiting,
     {"The port does not let go yet. Closing the window ends the program anyway.",
      "Порт ще не відпущено. Закриття вікна все одно завершить програму.",
      "Порт ещё не освобождён. Закрытие окна всё равно завершит программу."}},
    {Text::NoThread, {"Could not start the thread for the printer.",
                      "Не вдалося запустити потік для роботи з принтером.",
                      "Не удалось запустить поток для работы с принтером."}},
    {Text::Ports, {"COM ports: ", "COM-порти: ", "COM-порты: "}},
    {Text::NoPorts, {"No COM ports found: type the port's number.", "COM-портів не знайдено: введіть номер порту.",
                     "COM-порты не найдены: введите номер порта."}},
    {Text::LastGoodPort, {"Port that answered last time: ", "Порт, що відповів минулого разу: ",
                          "Порт, ответивший в прошлый раз: "}},
    {Text::ChoosePort, {"Choose a COM port or type its number.", "Оберіть COM-порт або введіть його номер.",
                        "Выберите COM-порт или введите его номер."}},
    {Text::NeedCashier,
     {"Type the cashier's name: the printer registers every document to a cashier.",
      "Введіть ім'я касира: принтер записує кожен документ на касира.",
      "Введите имя кассира: принтер записывает каждый документ на кассира."}},
    {Text::NeedPassword,
     {"Type the cashier's password: the printer does not register a cashier without it.",
      "Введіть пароль касира: без нього принтер не зареєструє касира.",
      "Введите пароль кассира: без него принтер не зарегистрирует кассира."}},
    {Text::AmountHelp, {"Amount: hryvnias and kopecks, for example 100 or 12.50.",
                        "Сума: гривні й копійки, наприклад 100 або 12,50.",
                        "Сумма: гривны и копейки, например 100 или 12,50."}},
    {Text::LogDirOpened, {"Log folder: ", "Тека журналу: ", "Папка журнала: "}},
    {Text::LogDirFailed, {"Could not open the log folder: ", "Не вдалося відкрити теку журналу: ",
                          "Не удалось открыть папку журнала: "}},
    {Text::SilentPrinter,
     {"The printer did not answer: check its power, paper and cable. If it stays silent, press "
      "\"Disconnect\" and \"Connect\".",
      "Принтер не відповів: перевірте живлення, папір і кабель. Якщо не відповідає й далі, "
      "натисніть «Від'єднати» і «Під'єднати».",
      "Принтер не ответил: проверьте питание, бумагу и кабель. Если он молчит и дальше, "
      "нажмите «Отключить» и «Подключить»."}},
    {Text::LastCheck, {"check ", "чек ", "чек "}},
    {Text::LastDocument, {"document ", "документ ", "документ "}},
    {Text::LastZReport, {"Z-report ", "Z-звіт ", "Z-отчёт "}},
    {Text::KeyR, {"work", "робота", "работа"}},
    {Text::KeyX, {"X-report", "X-звіт", "X-отчёт"}},
    {Text::KeyZ, {"Z-report", "Z-звіт", "Z-отчёт"}},
    {Text::KeyP, {"programming", "програмування", "программирование"}},
    {Text::KeyO, {"off", "вимкнено", "выключено"}},
    {Text::TaxInPrice, {"in the price", "у ціні", "в цене"}},
    {Text::TaxOverPrice, {"over the price", "понад ціну", "сверх цены"}},
    {Text::TaxOfSale, {"of the sale's sum", "від суми продажу", "от суммы продажи"}},
    {Text::TaxKind, {"kind ", "вид ", "вид "}},
    {Text::TaxFrom, {", from ", ", з ", ", с "}},
    {Text::LogCaption, {"Debug log", "Журнал налагодження", "Журнал отладки"}},
    {Text::LogFind, {"Find:", "Знайти:", "Найти:"}},
    {Text::LogFindNext, {"Find next", "Шукати далі", "Найти далее"}},
    {Text::LogReload, {"Reload", "Оновити", "Обновить"}},
    {Text::LogLine, {"Found on line ", "Знайдено в рядку ", "Найдено в строке "}},
    {Text::LogNotFound, {"Not found: ", "Не знайдено: ", "Не найдено: "}},
    {Text::LogMissing, {"No log yet: ", "Журналу ще немає: ", "Журнала ещё нет: "}},
    {Text::LogTail, {"The log's last 2 MB: ", "Останні 2 МБ журналу: ", "Последние 2 МБ журнала: "}},
};

static_assert(sizeof kRows / sizeof kRows[0] == static_cast<size_t>(Text::Count_), "a text is missing");

}  // namespace

Language LanguageOfPrimaryId(uint16_t primary)
{
    switch (primary) {
    case 0x22: return Language::Ukrainian;  // LANG_UKRAINIAN
    case 0x19: return Language::Russian;    // LANG_RUSSIAN
    default: return Language::English;
    }
}

const char* TextOf(Text id, Language language)
{
    const size_t i = static_cast<size_t>(id);
    if (i >= sizeof kRows / sizeof kRows[0] || kRows[i].id != id)
        return "";
    const char* text = kRows[i].text[static_cast<int>(language)];
    return text != nullptr ? text : "";
}

}  // namespace testutil
}  // namespace brenvik
