#include "common/xml_wrapper.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <new>

#include "common/atomic_file.h"
#include "common/diag.h"
#include "common/str_conv.h"
#include "common/user_file.h"

// ---------------------------------------------------------------- CElem

CElem::~CElem() = default;

CElem* CElem::FirstChild() {
    cursor_ = 0;
    return NextChild();
}

CElem* CElem::NextChild() {
    if (!children_ || cursor_ >= children_->size()) return nullptr;
    return (*children_)[cursor_++].get();
}

void CElem::CreateChildList() {
    if (!children_) children_ = std::make_unique<std::vector<std::unique_ptr<CElem>>>();
}

bool CElem::SiblingHasId(const std::wstring& id) const {
    // Called on the new parent: its children are the siblings-to-be.
    auto it = child_ids_.find(id);
    return it != child_ids_.end() && it->second > 0;
}

void CElem::ChangeId(const std::wstring& id) {
    if (parent_) {
        auto it = parent_->child_ids_.find(id_);
        if (it != parent_->child_ids_.end() && --it->second == 0) parent_->child_ids_.erase(it);
        ++parent_->child_ids_[id];
    }
    id_ = id;
    modified_ = true;
}

// start + ".<children of each ancestor, root first, down to this element>",
// then "_1", "_2", ... while a child of this element already has it.
std::wstring CElem::UniqueId(const std::wstring& start) const {
    std::vector<const CElem*> chain;
    for (const CElem* e = this; e; e = e->parent_) chain.push_back(e);
    std::wstring base = start;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        base += L"." + std::to_wstring((*it)->ChildCount());
    }
    if (!SiblingHasId(base)) return base;
    for (size_t n = 1;; ++n) {
        std::wstring candidate = base + L"_" + std::to_wstring(n);
        if (!SiblingHasId(candidate)) return candidate;
    }
}

void CElem::SetId(const std::wstring& id) {
    if (!id.empty()) {
        ChangeId(id);
    } else {
        ChangeId(parent_ ? parent_->UniqueId(name_) : name_);
    }
}

void CElem::ClearId() { ChangeId(std::wstring()); }

CElem* CElem::AddChild(const std::wstring& name, int32_t number, bool force_unique) {
    return AddChild(name, std::to_wstring(number), force_unique);
}

CElem* CElem::AddChild(const std::wstring& name, const std::wstring& id, bool force_unique) {
    return AttachChild(std::make_unique<CElem>(name, id), force_unique);
}

CElem* CElem::AttachChild(std::unique_ptr<CElem> child, bool force_unique) {
    if (!child) return nullptr;
    CreateChildList();
    if (child->id_.empty() || force_unique) {
        child->id_ = UniqueId(child->id_.empty() ? child->name_ : child->id_);
    }
    child->parent_ = this;
    child->modified_ = true;
    ++child_ids_[child->id_];
    children_->push_back(std::move(child));
    modified_ = true;
    return children_->back().get();
}

CElem* CElem::AttachCopy(const CElem& other) { return AttachChild(other.Copy(), false); }

bool CElem::RemoveChild(CElem* elem) {
    if (!children_ || !elem) return false;
    auto it = std::find_if(children_->begin(), children_->end(),
                           [&](const std::unique_ptr<CElem>& c) { return c.get() == elem; });
    if (it == children_->end()) return false;
    const size_t index = static_cast<size_t>(it - children_->begin());
    auto count = child_ids_.find(elem->id_);
    if (count != child_ids_.end() && --count->second == 0) child_ids_.erase(count);
    children_->erase(it);
    if (cursor_ > index) --cursor_;
    modified_ = true;
    return true;
}

std::unique_ptr<CElem> CElem::Copy() const {
    auto copy = std::make_unique<CElem>(name_, id_);
    if (props_) copy->props_ = std::make_unique<std::map<std::wstring, std::wstring>>(*props_);
    if (children_) {
        copy->CreateChildList();
        for (const auto& c : *children_) {
            auto child = c->Copy();
            child->parent_ = copy.get();
            ++copy->child_ids_[child->id_];
            copy->children_->push_back(std::move(child));
        }
    }
    copy->modified_ = true;
    return copy;
}

bool CElem::SameProperties(const CElem& other) const {
    static const std::map<std::wstring, std::wstring> none;
    return (props_ ? *props_ : none) == (other.props_ ? *other.props_ : none);
}

std::wstring CElem::SetPropInt32(const std::wstring& name, int32_t value) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%d", value);
    SetProp(name, buf, true);
    return PropOrEmpty(name);
}

bool CElem::SetProp(const std::wstring& name, const std::wstring& value, bool overwrite) {
    if (!props_) props_ = std::make_unique<std::map<std::wstring, std::wstring>>();
    auto it = props_->find(name);
    if (it != props_->end()) {
        if (it->second == value) return true;
        if (!overwrite) return false;
        it->second = value;
    } else {
        props_->emplace(name, value);
    }
    modified_ = true;
    return true;
}

bool CElem::RemoveProp(const std::wstring& name) {
    if (!props_ || props_->erase(name) == 0) return false;
    modified_ = true;
    return true;
}

const std::wstring* CElem::Prop(const std::wstring& name) const {
    if (!props_) return nullptr;
    auto it = props_->find(name);
    return it == props_->end() ? nullptr : &it->second;
}

std::wstring CElem::PropOrEmpty(const std::wstring& name) const {
    const std::wstring* v = Prop(name);
    return v ? *v : std::wstring();
}

const std::wstring* CElem::GetPropBool(const std::wstring& name, bool& out) const {
    const std::wstring* v = Prop(name);
    if (v) out = *v != L"0";
    return v;
}

namespace {

// Decimal, or base 16 after "0x"/"0X" (after an optional sign).
int32_t parse_int32(const std::wstring& text) {
    const wchar_t* s = text.c_str();
    while (*s == L' ' || *s == L'\t') ++s;
    const wchar_t* p = s + ((*s == L'-' || *s == L'+') ? 1 : 0);
    const int base = (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) ? 16 : 10;
    const long long v = std::wcstoll(s, nullptr, base);
    return static_cast<int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

const std::wstring* CElem::GetPropInt32(const std::wstring& name, int32_t& out) const {
    const std::wstring* v = Prop(name);
    if (v) out = parse_int32(*v);
    return v;
}

std::wstring CElem::ReplaceProp(const std::wstring& name, const std::wstring& value) {
    SetProp(name, value, true);
    return value;
}

std::wstring CElem::ReplacePropInt32(const std::wstring& name, int32_t value) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%d", value);
    return ReplaceProp(name, buf);
}

CElem* CElem::Find(const std::wstring& name, const std::wstring& id) {
    if (name_ == name && id_ == id) return this;
    if (!children_) return nullptr;
    for (const auto& c : *children_) {
        if (CElem* found = c->Find(name, id)) return found;
    }
    return nullptr;
}

void CElem::RemoveAllChildren() {
    if (children_ && !children_->empty()) {
        children_->clear();
        child_ids_.clear();
        modified_ = true;
    }
    cursor_ = 0;
}

CElem* CElem::FindChild(const std::wstring* name, const std::wstring* id) {
    if (!children_) return nullptr;
    for (const auto& c : *children_) {
        if ((!name || c->name_ == *name) && (!id || c->id_ == *id)) return c.get();
    }
    return nullptr;
}

bool CElem::IsModified() const {
    if (modified_) return true;
    if (!children_) return false;
    return std::any_of(children_->begin(), children_->end(),
                       [](const std::unique_ptr<CElem>& c) { return c->IsModified(); });
}

void CElem::ClearModified() {
    modified_ = false;
    if (children_) {
        for (const auto& c : *children_) c->ClearModified();
    }
}

// ---------------------------------------------------------- CXMLWrapper

struct CXMLDoc {
    xmlDocPtr doc = nullptr;
    explicit CXMLDoc(xmlDocPtr d) : doc(d) {}
    ~CXMLDoc() {
        if (doc) xmlFreeDoc(doc);
    }
    CXMLDoc(const CXMLDoc&) = delete;
    CXMLDoc& operator=(const CXMLDoc&) = delete;
};

namespace {

const char* kMethodOpen = "CXMLWrapper::Open";

bool name_is(const xmlChar* name, const char* expected) {
    return name && xmlStrcmp(name, reinterpret_cast<const xmlChar*>(expected)) == 0;
}

std::string text_of(const xmlChar* s) { return s ? reinterpret_cast<const char*>(s) : ""; }

// The value of an attribute node ("" when it has none).
std::string attr_value(xmlAttrPtr a) {
    if (!a || !a->children) return {};
    xmlChar* v = xmlNodeListGetString(a->doc, a->children, 1);
    std::string out = text_of(v);
    xmlFree(v);
    return out;
}

// Parse errors are our result codes, not console noise. Entities are
// substituted by the parser, so the tree holds only elements and text; nothing
// is fetched: no network, no external DTD (see also refuse_external below).
constexpr int kParseOptions = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOERROR |
                              XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES;

// Deeper trees are refused, as the parser refuses deeper nesting in one file;
// entities can nest elements further than that.
constexpr int kMaxDepth = 256;

// External entities and DTDs are never read, not even local files.
xmlParserInputPtr refuse_external(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void silent_xml_error(void*, const char*, ...) {}

}  // namespace

namespace vesk {

xmlDocPtr xml_read_file(const std::string& path_utf8) {
    // Non-blocking so that a FIFO in place of the file cannot hang the open;
    // anything but a regular file is refused.
    const int fd = ::open(path_utf8.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uintmax_t(st.st_size) > kMaxXmlFile) {
        if (S_ISREG(st.st_mode))
            VDIAG_ERROR("xml_read_file", "%s has %ju bytes, more than the %zu accepted", path_utf8.c_str(),
                        uintmax_t(st.st_size), kMaxXmlFile);
        ::close(fd);
        return nullptr;
    }
    // Encoding errors bypass the parser options and go to the library's
    // generic handler: silence it for this parse only.
    const xmlGenericErrorFunc previous = xmlGenericError;
    void* const previous_context = xmlGenericErrorContext;
    const xmlExternalEntityLoader previous_loader = xmlGetExternalEntityLoader();
    xmlSetGenericErrorFunc(nullptr, silent_xml_error);
    xmlSetExternalEntityLoader(refuse_external);
    xmlDocPtr doc = xmlReadFd(fd, path_utf8.c_str(), nullptr, kParseOptions);
    xmlSetExternalEntityLoader(previous_loader);
    xmlSetGenericErrorFunc(previous_context, previous);
    ::close(fd);
    return doc;
}

std::string xml_node_text(_xmlNode* node) {
    std::string text;
    for (xmlNodePtr c = node ? node->children : nullptr; c; c = c->next) {
        if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content) {
            text += reinterpret_cast<const char*>(c->content);
        }
    }
    return text;
}

}  // namespace vesk

namespace {

// Codes 4..9; 0 with c and i filled when the "e" is valid.
int32_t check_e(xmlNodePtr node, std::string& c, std::string& i) {
    xmlAttrPtr first = node->properties;
    if (!first) return XML_E_NO_ATTRIBUTES;
    if (first->type != XML_ATTRIBUTE_NODE) return XML_E_FIRST_NOT_ATTRIBUTE;
    if (!name_is(first->name, "c")) return XML_E_FIRST_NOT_C;
    xmlAttrPtr second = first->next;
    if (!second) return XML_E_NO_SECOND;
    if (second->type != XML_ATTRIBUTE_NODE) return XML_E_SECOND_NOT_ATTRIBUTE;
    if (!name_is(second->name, "i")) return XML_E_SECOND_NOT_I;
    c = attr_value(first);
    i = attr_value(second);
    return XML_OK;
}

// Codes 10..15; 0 with n and value filled when the "p" is valid. The value
// is the p's text (text and CDATA children joined; comments and processing
// instructions are not part of it).
int32_t check_p(xmlNodePtr node, std::string& n, std::string& value) {
    xmlAttrPtr first = node->properties;
    if (!first) return XML_P_NO_ATTRIBUTES;
    if (first->type != XML_ATTRIBUTE_NODE) return XML_P_NOT_ATTRIBUTE;
    if (!name_is(first->name, "n")) return XML_P_FIRST_NOT_N;
    if (!node->children) return XML_P_NO_CONTENT_NODE;
    bool has_text = false;
    for (xmlNodePtr c = node->children; c; c = c->next) {
        has_text = has_text || c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE;
    }
    if (!has_text) return XML_P_NULL_CONTENT;
    value = vesk::xml_node_text(node);
    if (value.empty() || value[0] == '\n') return XML_P_EMPTY_TEXT;
    n = attr_value(first);
    return XML_OK;
}

// Walks element nodes only: entity references, DTD nodes and the like are
// never entered, so no node is reached twice. False when the elements nest
// deeper than kMaxDepth.
bool build_tree(xmlNodePtr node, CElem* current, int32_t& code, int depth) {
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        if (depth > kMaxDepth) return false;
        CElem* inner = current;
        std::string a, b;
        if (name_is(node->name, "e")) {
            const int32_t r = check_e(node, a, b);
            if (r == XML_OK) {
                inner = current->AddChild(vesk::from_utf8(a), vesk::from_utf8(b), false);
            } else {
                code = r;
            }
        } else if (name_is(node->name, "p")) {
            const int32_t r = check_p(node, a, b);
            if (r == XML_OK) {
                current->SetProp(vesk::from_utf8(a), vesk::from_utf8(b), false);
            } else {
                code = r;
            }
        }
        if (!build_tree(node->children, inner, code, depth + 1)) return false;
    }
    return true;
}

// UTF-8 without the characters XML 1.0 cannot carry (control characters
// other than tab and line breaks, U+FFFE, U+FFFF): written as character
// references they would make the file unreadable.
std::string xml_text(const std::wstring& s) {
    std::wstring clean;
    clean.reserve(s.size());
    for (wchar_t ch : s) {
        const auto u = static_cast<uint32_t>(ch);
        if ((u < 0x20 && u != 0x09 && u != 0x0A && u != 0x0D) || u == 0xFFFE || u == 0xFFFF) {
            continue;
        }
        clean.push_back(ch);
    }
    return vesk::to_utf8(clean);
}

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

void write_elem(xmlNodePtr node, const CElem& elem) {
    if (const auto* props = elem.Properties()) {
        for (const auto& [name, value] : *props) {
            xmlNodePtr p = xmlNewTextChild(node, nullptr, X("p"), X(xml_text(value)));
            xmlNewProp(p, X("n"), X(xml_text(name)));
        }
    }
    if (const auto* children = elem.Children()) {
        for (const auto& child : *children) {
            xmlNodePtr e = xmlNewChild(node, nullptr, X("e"), nullptr);
            xmlNewProp(e, X("c"), X(xml_text(child->Name())));
            xmlNewProp(e, X("i"), X(xml_text(child->Id())));
            write_elem(e, *child);
        }
    }
}

}  // namespace

CXMLWrapper::CXMLWrapper(const std::wstring& root_name) : root_name_(root_name) {}

CXMLWrapper::~CXMLWrapper() = default;

bool CXMLWrapper::Open(const std::wstring& path) {
    root_.reset();
    doc_.reset();
    const std::string path8 = vesk::to_utf8(path);
    xmlDocPtr doc = vesk::xml_read_file(path8);
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
    int32_t code = XML_OK;
    if (!doc) {
        code = XML_NO_DOCUMENT;
    } else if (!root) {
        code = XML_NO_ROOT;
    } else if (!name_is(root->name, vesk::to_utf8(root_name_).c_str())) {
        code = XML_WRONG_ROOT;
    } else {
        doc_ = std::make_unique<CXMLDoc>(doc);
        doc = nullptr;
        root_ = std::make_unique<CElem>();
        // A tree was built; codes 4..15 tell what was left out of it. A tree
        // nested too deep is no usable document.
        if (!build_tree(root->children, root_.get(), code, 1)) code = XML_NO_DOCUMENT;
    }
    m_eERROR_CODE = code;
    if (code >= XML_NO_DOCUMENT && code <= XML_WRONG_ROOT) {
        if (doc) xmlFreeDoc(doc);
        root_.reset();
        doc_.reset();
        VDIAG_ERROR(kMethodOpen, "VESK xmlDB Loader. 'xmlParseFile' on file '%s'. m_eERROR_CODE=%d",
                    path8.c_str(), code);
        return false;
    }
    root_->ClearModified();
    return true;
}

void CXMLWrapper::NewDocument() {
    doc_.reset();
    root_ = std::make_unique<CElem>();
    root_->CreateChildList();
    m_eERROR_CODE = XML_OK;
}

std::wstring CXMLWrapper::DocumentUrl() const {
    if (!doc_ || !doc_->doc || !doc_->doc->URL) return {};
    return vesk::from_utf8(text_of(doc_->doc->URL));
}

bool CXMLWrapper::SaveTree() {
    const std::wstring url = DocumentUrl();
    if (url.empty()) return false;
    return SaveTree(url, true);
}

bool CXMLWrapper::SaveTree(const std::wstring& path, bool reload, vesk::FileTarget target) {
    if (!root_ || !root_->HasChildList()) return false;
    const std::string path8 = vesk::to_utf8(path);
    if (path8.empty()) return false;

    xmlDocPtr doc = xmlNewDoc(X("1.0"));
    if (!doc) return false;
    xmlNodePtr root = xmlNewNode(nullptr, X(xml_text(root_name_)));
    if (!root) {
        xmlFreeDoc(doc);
        return false;
    }
    xmlDocSetRootElement(doc, root);
    write_elem(root, *root_);

    xmlChar* buf = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc, &buf, &size, "UTF-8", 1);
    xmlFreeDoc(doc);
    // Never truncated in place: a failed or interrupted save keeps the old file.
    const bool ok = buf && size > 0 &&
                    vesk::write_file_atomically(path8, buf, static_cast<size_t>(size), target);
    xmlFree(buf);

    if (reload) {
        xmlDocPtr again = vesk::xml_read_file(path8);
        doc_ = again ? std::make_unique<CXMLDoc>(again) : nullptr;
    }
    root_->ClearModified();
    return ok;
}

std::unique_ptr<CXMLWrapper> OpenXMLWrapper(const std::wstring& path,
                                            const std::wstring& root_name) {
    auto w = std::unique_ptr<CXMLWrapper>(new (std::nothrow) CXMLWrapper(root_name));
    if (w) w->Open(path);
    return w;
}

std::unique_ptr<CXMLWrapper> NewXMLWrapper(const std::wstring& root_name) {
    auto w = std::unique_ptr<CXMLWrapper>(new (std::nothrow) CXMLWrapper(root_name));
    if (w) w->NewDocument();
    return w;
}
