#pragma once
// The program's own version file ("*.xmv"): root "info_version_sw", one
// element "InfoSW" holding the version numbers, release type, build date and
// time, source revisions, executable and product name.
#include <cstdint>
#include <ostream>
#include <string>

// A release type text: "dev", "beta", "release" (exact case) or unknown.
class ITipoRilascio {
public:
    explicit ITipoRilascio(const std::wstring& text) : text_(text) {}
    virtual ~ITipoRilascio() = default;
    bool IsDev() const { return text_ == L"dev"; }
    bool IsBeta() const { return text_ == L"beta"; }
    bool IsRelease() const { return text_ == L"release"; }
    bool IsUnknown() const { return !IsDev() && !IsBeta() && !IsRelease(); }
    const std::wstring& Text() const { return text_; }

private:
    std::wstring text_;
};

class CVersFile {
public:
    CVersFile() = default;
    // Reads the file; on failure logs "fallita lettura da file" and keeps the object.
    explicit CVersFile(const std::wstring& path);
    virtual ~CVersFile() = default;

    virtual void SetMajor(int32_t v) { major_ = v; }
    virtual void SetMinor(int32_t v) { minor_ = v; }
    virtual void SetRevision(int32_t v) { revision_ = v; }
    virtual void SetTipo(const std::wstring& v) { tipo_ = v; }
    virtual void SetBuildDateTime(const std::wstring& v) { build_ = v; }
    virtual void SetSvnSoftware(const std::wstring& v) { svn_software_ = v; }
    virtual void SetSvnFwSw2(const std::wstring& v) { svn_fwsw2_ = v; }
    virtual void SetExeName(const std::wstring& v) { exe_name_ = v; }
    virtual void SetProductName(const std::wstring& v) { product_name_ = v; }
    virtual bool SaveAllXmlNuovo(const std::wstring& path) const;
    virtual const std::wstring& GetExeName() const { return exe_name_; }
    virtual const std::wstring& GetTipo() const { return tipo_; }
    virtual const std::wstring& GetVersionText() const { return version_text_; }
    virtual const std::wstring& GetBuildDateTime() const { return build_; }
    virtual const std::wstring& GetSvnSoftware() const { return svn_software_; }
    virtual const std::wstring& GetSvnFwSw2() const { return svn_fwsw2_; }
    virtual const std::wstring& GetProductName() const { return product_name_; }
    virtual bool LeggiDaFile(const std::wstring& path);
    // major "." two-digit minor "." two-digit revision, e.g. 3.01.05.
    virtual void WriteVersionNumbers(std::wostream& out) const;

    int32_t GetMajor() const { return major_; }
    int32_t GetMinor() const { return minor_; }
    int32_t GetRevision() const { return revision_; }

private:
    void ResetAllButExeName();

    std::wstring tipo_;
    int32_t major_ = 3;
    int32_t minor_ = 0;
    int32_t revision_ = 0;
    std::wstring build_;
    std::wstring svn_software_;
    std::wstring svn_fwsw2_;
    std::wstring exe_name_;
    std::wstring product_name_;
    std::wstring version_text_;
};
