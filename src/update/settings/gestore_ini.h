#pragma once
// Settings files: XML of the element/property dialect under the root
// "FILE_INI", read and written as sections (name + identifier) of keys.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CElem;
class CXMLWrapper;
class IStrConvNum;

class IGestoreIni {
public:
    virtual ~IGestoreIni() = default;
    // Writes the tree to the file and rereads it; false without a document.
    virtual bool Save() = 0;
    virtual bool SetFile(const std::wstring& path) = 0;
    virtual void SetSection(const std::wstring& name, const std::wstring& id) = 0;
    // Identifiers of every section of that name, in file order.
    virtual void SectionIds(const std::wstring& name, std::vector<std::wstring>& out) = 0;
    // Writes change the tree in memory only; the file changes on Save.
    virtual void WriteBool(const std::wstring& key, bool value) = 0;
    virtual void WriteInt(const std::wstring& key, int32_t value) = 0;  // text stream
    virtual void WriteDouble(const std::wstring& key, double value) = 0;
    virtual void WriteFloat(const std::wstring& key, float value) = 0;
    virtual void WriteInt32(const std::wstring& key, int32_t value) = 0;  // "%d"
    virtual void WriteInt16(const std::wstring& key, int16_t value) = 0;
    virtual void WriteText(const std::wstring& key, const std::wstring& value) = 0;
    // Reads fill out and return true only when the section and the key exist.
    virtual bool ReadBool(const std::wstring& key, bool& out) = 0;
    virtual bool ReadInt(const std::wstring& key, int32_t& out) = 0;
    virtual bool ReadDouble(const std::wstring& key, double& out) = 0;
    virtual bool ReadFloat(const std::wstring& key, float& out) = 0;
    virtual bool ReadInt32(const std::wstring& key, int32_t& out) = 0;
    virtual bool ReadInt16(const std::wstring& key, int16_t& out) = 0;
    virtual bool ReadText(const std::wstring& key, std::wstring& out) = 0;
};

class CGestoreIni : public IGestoreIni {
public:
    CGestoreIni();
    ~CGestoreIni() override;
    CGestoreIni(const CGestoreIni&) = delete;
    CGestoreIni& operator=(const CGestoreIni&) = delete;

    bool Save() override;
    bool SetFile(const std::wstring& path) override;
    void SetSection(const std::wstring& name, const std::wstring& id) override;
    void SectionIds(const std::wstring& name, std::vector<std::wstring>& out) override;
    void WriteBool(const std::wstring& key, bool value) override;
    void WriteInt(const std::wstring& key, int32_t value) override;
    void WriteDouble(const std::wstring& key, double value) override;
    void WriteFloat(const std::wstring& key, float value) override;
    void WriteInt32(const std::wstring& key, int32_t value) override;
    void WriteInt16(const std::wstring& key, int16_t value) override;
    void WriteText(const std::wstring& key, const std::wstring& value) override;
    bool ReadBool(const std::wstring& key, bool& out) override;
    bool ReadInt(const std::wstring& key, int32_t& out) override;
    bool ReadDouble(const std::wstring& key, double& out) override;
    bool ReadFloat(const std::wstring& key, float& out) override;
    bool ReadInt32(const std::wstring& key, int32_t& out) override;
    bool ReadInt16(const std::wstring& key, int16_t& out) override;
    bool ReadText(const std::wstring& key, std::wstring& out) override;

    const std::wstring& FileName() const { return file_name_; }

private:
    // Makes the selected section current; false (root current) when absent.
    bool FindSection();
    void NewDocument();

    std::wstring file_name_;
    std::wstring section_name_;
    std::wstring section_id_ = L"0";
    CElem* current_ = nullptr;
    std::unique_ptr<IStrConvNum> num_;
    std::unique_ptr<CXMLWrapper> doc_;
};
