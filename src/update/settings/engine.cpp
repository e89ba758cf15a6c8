#include "update/settings/engine.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cwctype>
#include <new>
#include <string_view>
#include <vector>

#include "common/str_conv.h"
#include "common/xml_wrapper.h"
#include "log/evt_log.h"

namespace {

const char* const kMethod = "CEngine::LeggiXML";

bool is_named(const xmlChar* name, const char* expected) {
    return name && xmlStrcmp(name, reinterpret_cast<const xmlChar*>(expected)) == 0;
}

const char* text_of(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

CEngine& engine() {
    static CEngine instance;
    return instance;
}

// The arguments a printf format takes, in order: one entry per conversion
// ("d", "ls", "*" for a width or precision taken from the arguments, "n"),
// flags and widths left out since they do not change what is read. False
// when a '%' starts no valid conversion.
bool Conversions(const std::wstring& text, std::vector<std::wstring>& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') continue;
        if (++i < text.size() && text[i] == L'%') continue;
        // A position ("%2$d") lets a translation reorder: taken as part of the conversion.
        std::wstring position;
        size_t j = i;
        while (j < text.size() && iswdigit(text[j])) ++j;
        if (j < text.size() && j > i && text[j] == L'$') {
            position = text.substr(i, j - i + 1);
            i = j + 1;
        }
        while (i < text.size() && std::wstring_view(L"-+ #0'I").find(text[i]) != std::wstring_view::npos) ++i;
        auto number = [&] {
            if (i < text.size() && text[i] == L'*') {
                out.push_back(L"*");
                ++i;
            } else {
                while (i < text.size() && iswdigit(text[i])) ++i;
            }
        };
        number();
        if (i < text.size() && text[i] == L'.') {
            ++i;
            number();
        }
        std::wstring conversion = position;
        while (i < text.size() && std::wstring_view(L"hlLqjzt").find(text[i]) != std::wstring_view::npos)
            conversion += text[i++];
        if (i >= text.size() || std::wstring_view(L"diouxXeEfFgGaAcspnCSm").find(text[i]) == std::wstring_view::npos)
            return false;  // what formatting would make of it is undefined
        conversion += text[i] == L'i' ? L'd' : text[i];
        out.push_back(conversion);
    }
    return true;
}

// A translation may be used as a format: it must read the same arguments in
// the same order as its key, and never write through %n. A text whose key
// reads nothing and that reads nothing itself is free to hold a '%'.
bool SameConversions(const std::wstring& key, const std::wstring& value) {
    std::vector<std::wstring> from_key, from_value;
    Conversions(key, from_key);
    const bool value_ok = Conversions(value, from_value);
    if (from_key.empty() && from_value.empty()) return true;
    for (const auto& c : from_value)
        if (c.back() == L'n') return false;
    return value_ok && from_key == from_value;
}

}  // namespace

CEngine::CEngine() : conv(CreateStrConv()) {}

CEngine::~CEngine() = default;

bool CEngine::AddString(const std::string& key, const std::string& value) {
    try {
        std::wstring k = conv->Utf8ToWide(key);
        std::wstring v = value.empty() ? k : conv->Utf8ToWide(value);
        if (!SameConversions(k, v)) {
            // A translation that reads other arguments than its key would crash
            // whoever formats with it: the key is used instead.
            const std::string where = last_path.empty() ? std::string("the string table") : last_path;
            errors.push_back("The translation of \"" + key + "\" in " + where +
                             " has other conversions than the text: the text is used");
            VLOG_ERROR(kMethod, "The translation of \"%s\" in %s has other conversions than the text: the text is used",
                       key.c_str(), where.c_str());
            v = k;
        }
        table[k] = std::move(v);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CEngine::LeggiXML(const std::string& path) {
    last_path = path;
    table.clear();
    errors.clear();
    char buf[512];
    auto problem = [&](const std::string& message) {
        errors.push_back(message);
    };

    xmlDocPtr doc = vesk::xml_read_file(path);
    if (!doc) {
        problem("Unable to parse file " + path);
        VLOG_ERROR(kMethod, "Unable to parse file %s", path.c_str());
        return false;
    }
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (!root) {
        problem("File " + path + " is empty (no root node)");
        VLOG_ERROR(kMethod, "File %s is empty (no root node)", path.c_str());
        xmlFreeDoc(doc);
        return false;
    }
    if (!is_named(root->name, "resources")) {
        problem("Bad root in file " + path + " (root node is not 'resources')");
        VLOG_ERROR(kMethod, "Bad root in file %s (root node is not 'resources')", path.c_str());
        xmlFreeDoc(doc);
        return false;
    }

    for (xmlNodePtr node = root->children; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        const long line = xmlGetLineNo(node);
        xmlAttrPtr attr = node->properties;
        if (!is_named(node->name, "string")) {
            std::snprintf(buf, sizeof buf, "Wrong node name (%s) at line %ld", text_of(node->name), line);
            problem(buf);
            VLOG_ERROR(kMethod, "Wrong node name (%s) at line %ld", text_of(node->name), line);
        } else if (!attr) {
            std::snprintf(buf, sizeof buf, "Can't find properties attribute at line %ld", line);
            problem(buf);
            VLOG_ERROR(kMethod, "Can't find properties attribute at line %ld", line);
        } else if (attr->type != XML_ATTRIBUTE_NODE) {
            std::snprintf(buf, sizeof buf, "Invalid properties attribute at line %ld", line);
            problem(buf);
            VLOG_ERROR(kMethod, "Invalid properties attribute at line %ld", line);
        } else if (!is_named(attr->name, "name")) {
            std::snprintf(buf, sizeof buf, "Wrong properties attribute name (%s) at line %ld",
                          text_of(attr->name), line);
            problem(buf);
            VLOG_ERROR(kMethod, "Wrong properties attribute name (%s) at line %ld",
                       text_of(attr->name), line);
        } else {
            xmlChar* key = xmlNodeListGetString(doc, attr->children, 1);
            // Entities are substituted by the parser: the text is the element's
            // text and CDATA, whatever comments or PIs stand between.
            const std::string value = vesk::xml_node_text(node);
            const bool added = AddString(text_of(key), value);
            xmlFree(key);
            if (!added) {
                problem("Can't add string to map");
                VLOG_ERROR(kMethod, "Can't add string to map");
            }
        }
    }
    xmlFreeDoc(doc);
    return errors.empty();
}

namespace vesk {

std::wstring Translate(const std::wstring& key) {
    const auto& table = engine().table;
    auto it = table.find(key);
    return it == table.end() ? key : it->second;
}

const wchar_t* TranslateC(const wchar_t* key) {
    if (!key) return L"";
    const auto& table = engine().table;
    auto it = table.find(key);
    return it == table.end() ? key : it->second.c_str();
}

bool RereadLanguage() {
    CEngine& e = engine();
    if (e.folder.empty() || e.language.empty()) return false;
    return e.LeggiXML(LanguageFilePath());
}

bool SetLanguageFolder(const std::string& folder) {
    CEngine& e = engine();
    if (e.folder == folder) return false;
    e.folder = folder;
    RereadLanguage();
    return true;
}

bool SetLanguage(const std::string& language) {
    CEngine& e = engine();
    if (e.language == language) return false;
    e.language = language;
    RereadLanguage();
    return true;
}

bool SetLanguageFolderAndRead(const std::string& folder, const std::string& language) {
    CEngine& e = engine();
    e.folder = folder;
    e.language = language;
    return RereadLanguage();
}

std::string LanguageFilePath() {
    const CEngine& e = engine();
    return e.folder + "/" + e.language + ".xml";
}

std::string LanguageFolder() { return engine().folder; }

std::string LanguageName() { return engine().language; }

std::vector<std::string> LanguageErrors() { return engine().errors; }

bool AddString(const std::string& key, const std::string& value) {
    return engine().AddString(key, value);
}

}  // namespace vesk
