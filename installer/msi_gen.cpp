// brenvik_msi_gen: the generated parts of the MSI's WiX source.
//
//   brenvik_msi_gen registry OUT FILE_ID BITS MODULE_CPP IDL RGS...
//     The registry values a component of BrenvikPlus.dll carries instead of
//     DllRegisterServer: the DLL's own registry scripts run through the
//     server's own interpreter into a recording target, and the type
//     library's and interfaces' keys RegisterTypeLib would write, read from
//     the IDL. FILE_ID is the DLL's File/@Id, BITS 64 or 32.
//   brenvik_msi_gen files OUT GROUP BITS LIST
//     A component per file, in the component group GROUP. LIST holds one
//     "DIR_ID/relative/path<TAB>source file" a line, where DIR_ID is a
//     Directory of brenvik.wxs, or "DIR_ID/path/*.ext<TAB>source folder"
//     for the files of a folder made at build time.
//
// Both write WiX XML that wixl reads into OUT. Windows Installer cannot call
// DllRegisterServer of a DLL of the other bitness safely, and its self-
// registration is discouraged; declared values are also what it removes
// on its own on uninstall and repairs on repair.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server/registry_script.h"

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);  // the scripts are ASCII
    return out;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "brenvik_msi_gen: cannot read " << path << "\n";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

int Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "brenvik_msi_gen: cannot write " << path << "\n";
        return 1;
    }
    return 0;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// Registry values are MSI formatted text: a bracket of ours must not read as
// a property reference.
std::string FormattedLiteral(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '[') {
            out += "[\\[]";
        } else if (c == ']') {
            out += "[\\]]";
        } else {
            out += c;
        }
    }
    return out;
}

// Stands for the module's path in the scripts until the values are written
// out; then it becomes the installed file's full path, [#FILE_ID].
const char kModuleMark[] = "\x01MODULE\x01";

struct Value {
    std::string key;   // below HKCR
    std::string name;  // empty: the default value
    std::string data;
};

// What registration would write, in order, with the keys it would first
// remove whole (ForceRemove): those are removed whole on uninstall too.
class Recorder final : public brenvik::RegistryTarget {
public:
    std::vector<Value> values;
    std::vector<std::string> created;
    std::set<std::string> forced;

    long CreateKey(const std::wstring& path) override {
        created.push_back(Narrow(path));
        return 0;
    }
    long SetString(const std::wstring& path, const std::wstring& name,
                   const std::wstring& data) override {
        values.push_back({Narrow(path), Narrow(name), Narrow(data)});
        return 0;
    }
    long DeleteValue(const std::wstring&, const std::wstring&) override { return 0; }
    long DeleteTree(const std::wstring& path) override {
        forced.insert(Narrow(path));
        return 0;
    }
    long DeleteKey(const std::wstring&) override { return 0; }
    bool KeyExists(const std::wstring&) override { return false; }
    bool HasSubkeys(const std::wstring&) override { return false; }
};

struct Interface {
    std::string name;
    std::string iid;
};

struct TypeLibrary {
    std::string libid;
    std::string version;
    std::string help;
    std::vector<Interface> interfaces;  // those RegisterTypeLib registers
};

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// The attribute blocks of the IDL's library and of its dual or
// oleautomation interfaces: the keys RegisterTypeLib writes come from them.
bool ReadIdl(const std::string& idl, TypeLibrary& library) {
    static const std::regex block(R"(\[([^\[\]]*)\]\s*(library|interface)\s+(\w+)\s*([:{]))");
    static const std::regex uuid(R"(uuid\(\s*([0-9A-Fa-f-]{36})\s*\))");
    static const std::regex version(R"(version\(\s*([0-9]+\.[0-9]+)\s*\))");
    static const std::regex help(R"(helpstring\(\s*\"([^\"]*)\"\s*\))");
    static const std::regex automation(R"(\b(dual|oleautomation)\b)");
    for (std::sregex_iterator it(idl.begin(), idl.end(), block), end; it != end; ++it) {
        const std::string attributes = (*it)[1];
        std::smatch found;
        if (!std::regex_search(attributes, found, uuid)) continue;
        const std::string id = "{" + Upper(found[1]) + "}";
        if ((*it)[2] == "interface") {
            if (std::regex_search(attributes, automation)) library.interfaces.push_back({(*it)[3], id});
            continue;
        }
        library.libid = id;
        library.version = std::regex_search(attributes, found, version) ? std::string(found[1]) : "0.0";
        if (std::regex_search(attributes, found, help)) library.help = found[1];
    }
    if (library.libid.empty() || library.interfaces.empty()) {
        std::cerr << "brenvik_msi_gen: no library or no automation interface in the IDL\n";
        return false;
    }
    return true;
}

class Writer {
public:
    explicit Writer(std::string module) : module_(std::move(module)) {}

    void Put(const std::string& key, const std::string& name, const std::string& data) {
        std::string value = FormattedLiteral(data);
        for (size_t at; (at = value.find(kModuleMark)) != std::string::npos;)
            value.replace(at, sizeof kModuleMark - 1, module_);
        out_ << "  <RegistryValue Root=\"HKLM\" Key=\"Software\\Classes\\" << XmlEscape(key) << "\"";
        if (!name.empty()) out_ << " Name=\"" << XmlEscape(FormattedLiteral(name)) << "\"";
        out_ << " Type=\"string\" Value=\"" << XmlEscape(value) << "\"/>\n";
    }
    // "*": created on install, removed with everything below it on uninstall.
    void Whole(const std::string& key) {
        out_ << "  <RegistryValue Root=\"HKLM\" Key=\"Software\\Classes\\" << XmlEscape(key)
             << "\" Name=\"*\" Type=\"string\" Value=\"\"/>\n";
    }
    std::string Text() const { return out_.str(); }

private:
    std::string module_;
    std::ostringstream out_;
};

int Registry(const std::string& outPath, const std::vector<std::string>& args) {
    if (args.size() < 5) return 2;
    const std::string& fileId = args[0];
    const std::string platform = args[1] == "64" ? "win64" : "win32";
    std::string source;
    if (!ReadFile(args[2], source)) return 1;
    std::smatch found;
    if (!std::regex_search(source, found, std::regex(R"(kAppId\[\]\s*=\s*L\"(\{[0-9A-Fa-f-]{36}\})\")"))) {
        std::cerr << "brenvik_msi_gen: no kAppId in " << args[2] << "\n";
        return 1;
    }
    const std::wstring appId = Widen(found[1]);
    std::string idl;
    TypeLibrary library;
    if (!ReadFile(args[3], idl) || !ReadIdl(idl, library)) return 1;

    Recorder recorder;
    const std::wstring module = Widen(kModuleMark);
    const brenvik::ScriptVariables variables = {
        {L"MODULE", brenvik::QuoteForScript(module)},
        {L"Module_Raw", module},
        {L"APPID", appId},
    };
    for (size_t i = 4; i < args.size(); ++i) {
        std::string script;
        if (!ReadFile(args[i], script)) return 1;
        if (brenvik::RunRegistryScript(Widen(script), variables, true, recorder) != brenvik::kScriptOk) {
            std::cerr << "brenvik_msi_gen: " << args[i] << " does not run\n";
            return 1;
        }
    }

    Writer out("[#" + fileId + "]");
    for (const std::string& key : recorder.forced) out.Whole(key);
    for (const Value& v : recorder.values) out.Put(v.key, v.name, v.data);
    // A key the scripts create empty (not one below which values follow).
    for (const std::string& key : recorder.created) {
        bool used = recorder.forced.count(key) != 0;
        for (const Value& v : recorder.values) used = used || v.key == key || v.key.rfind(key + "\\", 0) == 0;
        if (!used) std::cerr << "brenvik_msi_gen: the empty key " << key << " is left out\n";
    }

    // As RegisterTypeLib writes them for a library in the DLL's resources.
    const std::string lib = "TypeLib\\" + library.libid + "\\" + library.version;
    out.Put(lib, "", library.help);
    out.Put(lib + "\\0\\" + platform, "", kModuleMark);
    out.Put(lib + "\\FLAGS", "", "0");  // no HELPDIR: there is no help file
    const char automationProxy[] = "{00020424-0000-0000-C000-000000000046}";
    for (const Interface& itf : library.interfaces) {
        const std::string key = "Interface\\" + itf.iid;
        out.Put(key, "", itf.name);
        out.Put(key + "\\ProxyStubClsid", "", automationProxy);
        out.Put(key + "\\ProxyStubClsid32", "", automationProxy);
        out.Put(key + "\\TypeLib", "", library.libid);
        out.Put(key + "\\TypeLib", "Version", library.version);
    }
    return Write(outPath, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n" + out.Text() + "</Include>\n");
}

// A stable identifier from a path: wixl takes it as is, and the same input
// makes the same package.
std::string Id(const std::string& prefix, const std::string& path) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
    std::ostringstream out;
    out << prefix << std::hex << std::uppercase << hash;
    return out.str();
}

struct Dir {
    std::map<std::string, Dir> dirs;
    std::vector<std::pair<std::string, std::string>> files;  // name, source
};

void WriteDir(std::ostream& out, const Dir& dir, const std::string& path, const std::string& win64,
              std::vector<std::string>& components, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    auto files = dir.files;
    std::sort(files.begin(), files.end());  // the same package from the same files
    for (const auto& [name, source] : files) {
        const std::string id = Id("c", path + "/" + name);
        components.push_back(id);
        out << indent << "<Component Id=\"" << id << "\" Guid=\"*\" Win64=\"" << win64 << "\">\n"
            << indent << "  <File Id=\"" << Id("f", path + "/" + name) << "\" Name=\"" << XmlEscape(name)
            << "\" Source=\"" << XmlEscape(source) << "\" KeyPath=\"yes\"/>\n"
            << indent << "</Component>\n";
    }
    for (const auto& [name, sub] : dir.dirs) {
        const std::string subPath = path + "/" + name;
        out << indent << "<Directory Id=\"" << Id("d", subPath) << "\" Name=\"" << XmlEscape(name) << "\">\n";
        WriteDir(out, sub, subPath, win64, components, depth + 1);
        out << indent << "</Directory>\n";
    }
}

int Files(const std::string& outPath, const std::vector<std::string>& args) {
    if (args.size() != 3) return 2;
    const std::string& group = args[0];
    const std::string win64 = args[1] == "64" ? "yes" : "no";
    std::string list;
    if (!ReadFile(args[2], list)) return 1;
    Dir root;  // its subdirectories: the Directory ids the lines start with
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            std::cerr << "brenvik_msi_gen: no tab in \"" << line << "\"\n";
            return 1;
        }
        std::string dest = line.substr(0, tab);
        std::vector<std::pair<std::string, std::string>> found;  // destination, source
        const size_t star = dest.rfind("/*");
        if (star != std::string::npos && star + 2 <= dest.size()) {
            // DIR/*.ext<TAB>folder: what that folder holds when the package
            // is made, as its files are made at build time.
            const std::string suffix = dest.substr(star + 2);
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(line.substr(tab + 1), error)) {
                const std::string name = entry.path().filename().string();
                if (entry.is_regular_file() && name.size() >= suffix.size() &&
                    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                    found.emplace_back(dest.substr(0, star + 1) + name, entry.path().string());
            }
            if (error || found.empty()) {
                std::cerr << "brenvik_msi_gen: nothing for " << dest << " in " << line.substr(tab + 1) << "\n";
                return 1;
            }
        } else {
            found.emplace_back(dest, line.substr(tab + 1));
        }
        for (const auto& [path, source] : found) {
            Dir* dir = &root;
            size_t start = 0;
            for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
                dir = &dir->dirs[path.substr(start, slash - start)];
            // wixl finds a file only by a path relative to where it runs:
            // it runs from the root.
            dir->files.emplace_back(path.substr(start), source[0] == '/' ? source.substr(1) : source);
        }
    }
    std::ostringstream out;
    std::vector<std::string> components;
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        << "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n  <Fragment>\n";
    for (const auto& [dirRef, dir] : root.dirs) {
        out << "    <DirectoryRef Id=\"" << dirRef << "\">\n";
        WriteDir(out, dir, dirRef, win64, components, 3);
        out << "    </DirectoryRef>\n";
    }
    out << "    <ComponentGroup Id=\"" << group << "\">\n";
    for (const std::string& id : components) out << "      <ComponentRef Id=\"" << id << "\"/>\n";
    out << "    </ComponentGroup>\n  </Fragment>\n</Wix>\n";
    return Write(outPath, out.str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    int rc = 2;
    if (args.size() >= 2 && args[0] == "registry") rc = Registry(args[1], {args.begin() + 2, args.end()});
    if (args.size() >= 2 && args[0] == "files") rc = Files(args[1], {args.begin() + 2, args.end()});
    if (rc == 2) {
        std::cerr << "usage: brenvik_msi_gen registry OUT FILE_ID 64|32 MODULE_CPP IDL RGS...\n"
                     "       brenvik_msi_gen files OUT GROUP 64|32 LIST\n";
    }
    return rc;
}
