#include "app/engine.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <new>

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

}  // namespace

CEngine::CEngine() : conv(CreateStrConv()) {}

CEngine::~CEngine() = default;

bool CEngine::AddString(const std::string& key, const std::string& value) {
    try {
        std::wstring k = conv->Utf8ToWide(key);
        std::wstring v = value.empty() ? k : conv->Utf8ToWide(value);
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
