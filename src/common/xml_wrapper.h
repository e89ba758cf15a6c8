#pragma once
// XML files of the element/property dialect, read into a tree of CElem:
//   <root>              the root element (its name is fixed by the opener)
//     <p n="key">value</p>            a property of the enclosing element
//     <e c="name" i="identifier">     a child element
//       <p n="key">value</p> ...
//     </e>
//   </root>
// Elements of any other name are transparent. libxml2 stays inside the .cpp.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/atomic_file.h"

class CElem;

class IElem {
public:
    virtual ~IElem() = default;
    // Child iteration: FirstChild resets the cursor; both give null at the end.
    virtual CElem* FirstChild() = 0;
    virtual CElem* NextChild() = 0;
    virtual size_t ChildCount() const = 0;
    virtual bool NameEquals(const std::wstring& name) const = 0;
    virtual const std::wstring& Name() const = 0;
    virtual const std::wstring& Id() const = 0;
    // An empty identifier is replaced by a generated one.
    virtual void SetId(const std::wstring& id) = 0;
    virtual bool IdEquals(const std::wstring& id) const = 0;
    virtual void ClearId() = 0;
    virtual CElem* AddChild(const std::wstring& name, int32_t number, bool force_unique) = 0;
    virtual CElem* AddChild(const std::wstring& name, const std::wstring& id,
                            bool force_unique) = 0;
    // Takes ownership; the identifier is generated when empty or when forced.
    virtual CElem* AttachChild(std::unique_ptr<CElem> child, bool force_unique) = 0;
    virtual CElem* AttachCopy(const CElem& other) = 0;
    // False when elem is not a child of this element.
    virtual bool RemoveChild(CElem* elem) = 0;
    virtual std::unique_ptr<CElem> Copy() const = 0;
    // Null until the first property is set.
    virtual const std::map<std::wstring, std::wstring>* Properties() const = 0;
    virtual bool SameProperties(const CElem& other) const = 0;
    // "%d"; returns the stored text.
    virtual std::wstring SetPropInt32(const std::wstring& name, int32_t value) = 0;
    // When the property exists with another value and overwrite is false,
    // nothing changes (false); otherwise the value is stored (true).
    virtual bool SetProp(const std::wstring& name, const std::wstring& value,
                         bool overwrite) = 0;
    virtual bool RemoveProp(const std::wstring& name) = 0;
    virtual std::wstring PropOrEmpty(const std::wstring& name) const = 0;
    // True unless the text is exactly "0". Null when absent (out untouched).
    virtual const std::wstring* GetPropBool(const std::wstring& name, bool& out) const = 0;
    // Decimal, or hexadecimal after "0x"/"0X". Null when absent (out untouched).
    virtual const std::wstring* GetPropInt32(const std::wstring& name, int32_t& out) const = 0;
    // The stored value, null when absent.
    virtual const std::wstring* Prop(const std::wstring& name) const = 0;
    // Adds the property, or changes it when the value differs; returns the stored text.
    virtual std::wstring ReplaceProp(const std::wstring& name, const std::wstring& value) = 0;
    virtual std::wstring ReplacePropInt32(const std::wstring& name, int32_t value) = 0;
    // This element or a descendant with that name and identifier.
    virtual CElem* Find(const std::wstring& name, const std::wstring& id) = 0;
    virtual void RemoveAllChildren() = 0;
    // First child matching every criterion given (null pointers match anything).
    virtual CElem* FindChild(const std::wstring* name, const std::wstring* id) = 0;
    virtual CElem* Parent() const = 0;
    // This element or a descendant changed since the last save.
    virtual bool IsModified() const = 0;
    virtual void ClearModified() = 0;
};

class CElem : public IElem {
public:
    CElem() = default;
    CElem(const std::wstring& name, const std::wstring& id) : name_(name), id_(id) {}
    ~CElem() override;
    CElem(const CElem&) = delete;
    CElem& operator=(const CElem&) = delete;

    CElem* FirstChild() override;
    CElem* NextChild() override;
    size_t ChildCount() const override { return children_ ? children_->size() : 0; }
    bool NameEquals(const std::wstring& name) const override { return name_ == name; }
    const std::wstring& Name() const override { return name_; }
    const std::wstring& Id() const override { return id_; }
    void SetId(const std::wstring& id) override;
    bool IdEquals(const std::wstring& id) const override { return id_ == id; }
    void ClearId() override;
    CElem* AddChild(const std::wstring& name, int32_t number, bool force_unique) override;
    CElem* AddChild(const std::wstring& name, const std::wstring& id,
                    bool force_unique) override;
    CElem* AttachChild(std::unique_ptr<CElem> child, bool force_unique) override;
    CElem* AttachCopy(const CElem& other) override;
    bool RemoveChild(CElem* elem) override;
    std::unique_ptr<CElem> Copy() const override;
    const std::map<std::wstring, std::wstring>* Properties() const override {
        return props_.get();
    }
    bool SameProperties(const CElem& other) const override;
    std::wstring SetPropInt32(const std::wstring& name, int32_t value) override;
    bool SetProp(const std::wstring& name, const std::wstring& value, bool overwrite) override;
    bool RemoveProp(const std::wstring& name) override;
    std::wstring PropOrEmpty(const std::wstring& name) const override;
    const std::wstring* GetPropBool(const std::wstring& name, bool& out) const override;
    const std::wstring* GetPropInt32(const std::wstring& name, int32_t& out) const override;
    const std::wstring* Prop(const std::wstring& name) const override;
    std::wstring ReplaceProp(const std::wstring& name, const std::wstring& value) override;
    std::wstring ReplacePropInt32(const std::wstring& name, int32_t value) override;
    CElem* Find(const std::wstring& name, const std::wstring& id) override;
    void RemoveAllChildren() override;
    CElem* FindChild(const std::wstring* name, const std::wstring* id) override;
    CElem* Parent() const override { return parent_; }
    bool IsModified() const override;
    void ClearModified() override;

    // Whether the children list exists (it is created on first use).
    bool HasChildList() const { return children_ != nullptr; }
    void CreateChildList();
    const std::vector<std::unique_ptr<CElem>>* Children() const { return children_.get(); }

private:
    std::wstring UniqueId(const std::wstring& start) const;
    bool SiblingHasId(const std::wstring& id) const;
    // Keeps the parent's count of child identifiers in step with id_.
    void ChangeId(const std::wstring& id);

    CElem* parent_ = nullptr;
    std::unique_ptr<std::vector<std::unique_ptr<CElem>>> children_;
    std::unique_ptr<std::map<std::wstring, std::wstring>> props_;
    // How many children carry each identifier, so that generating a unique
    // one does not scan every sibling.
    std::unordered_map<std::wstring, size_t> child_ids_;
    std::wstring name_;
    std::wstring id_;
    size_t cursor_ = 0;
    bool modified_ = false;
};

class IXMLWrapper {
public:
    virtual ~IXMLWrapper() = default;
    // Writes the tree to the file it was opened from, and rereads it.
    virtual bool SaveTree() = 0;
    // Writes the tree as a new document; with reload the written file
    // becomes the kept document. False without a root or a children list.
    // A file of the program's own naming (its settings) is never written
    // through a link.
    virtual bool SaveTree(const std::wstring& path, bool reload,
                          vesk::FileTarget target = vesk::FileTarget::UserNamed) = 0;
    // The kept document's address, empty when there is none.
    virtual std::wstring DocumentUrl() const = 0;
    // Null when opening failed.
    virtual CElem* Root() = 0;
    virtual int32_t ErrorCode() const = 0;
};

// Result of the last opening.
enum EXmlError : int32_t {
    XML_OK = 0,
    XML_NO_DOCUMENT = 1,
    XML_NO_ROOT = 2,
    XML_WRONG_ROOT = 3,
    XML_E_NO_ATTRIBUTES = 4,
    XML_E_FIRST_NOT_ATTRIBUTE = 5,
    XML_E_FIRST_NOT_C = 6,
    XML_E_NO_SECOND = 7,
    XML_E_SECOND_NOT_ATTRIBUTE = 8,
    XML_E_SECOND_NOT_I = 9,
    XML_P_NO_ATTRIBUTES = 10,
    XML_P_NOT_ATTRIBUTE = 11,
    XML_P_FIRST_NOT_N = 12,
    XML_P_NO_CONTENT_NODE = 13,
    XML_P_NULL_CONTENT = 14,
    XML_P_EMPTY_TEXT = 15,
};

struct CXMLDoc;

class CXMLWrapper : public IXMLWrapper {
public:
    explicit CXMLWrapper(const std::wstring& root_name);
    ~CXMLWrapper() override;
    CXMLWrapper(const CXMLWrapper&) = delete;
    CXMLWrapper& operator=(const CXMLWrapper&) = delete;

    // Parses the file and builds the tree; false for codes 1 to 3 (logged).
    bool Open(const std::wstring& path);
    // A root with empty name and identifier and an empty children list.
    void NewDocument();

    bool SaveTree() override;
    bool SaveTree(const std::wstring& path, bool reload,
                  vesk::FileTarget target = vesk::FileTarget::UserNamed) override;
    std::wstring DocumentUrl() const override;
    CElem* Root() override { return root_.get(); }
    int32_t ErrorCode() const override { return m_eERROR_CODE; }

private:
    int32_t m_eERROR_CODE = XML_OK;
    std::wstring root_name_;
    std::unique_ptr<CElem> root_;
    std::unique_ptr<CXMLDoc> doc_;
};

// Null only when memory runs out; test Root() for the opening's success.
std::unique_ptr<CXMLWrapper> OpenXMLWrapper(const std::wstring& path,
                                            const std::wstring& root_name);
std::unique_ptr<CXMLWrapper> NewXMLWrapper(const std::wstring& root_name);

// Parses a file (UTF-8 path) the way the wrapper does: entities substituted,
// nothing external read (no network, no external DTD or entity), no console
// noise. Null when it is unreadable or not XML; free with xmlFreeDoc.
struct _xmlDoc;
struct _xmlNode;
namespace vesk {
_xmlDoc* xml_read_file(const std::string& path_utf8);
// The text of an element: its text and CDATA children joined.
std::string xml_node_text(_xmlNode* node);
}  // namespace vesk
