#include "firmware_files/vers_file.h"

#include <iomanip>
#include <sstream>

#include "common/str_conv.h"
#include "common/xml_wrapper.h"
#include "log/evt_log.h"

namespace {
const wchar_t* const kRoot = L"info_version_sw";
}  // namespace

CVersFile::CVersFile(const std::wstring& path) {
    if (!LeggiDaFile(path)) VLOG_ERROR("CVersFile::CVersFile", "fallita lettura da file");
}

void CVersFile::ResetAllButExeName() {
    const std::wstring exe = exe_name_;
    *this = CVersFile();
    exe_name_ = exe;
}

void CVersFile::WriteVersionNumbers(std::wostream& out) const {
    const auto fill = out.fill();
    out << major_ << L'.' << std::setfill(L'0') << std::setw(2) << minor_ << L'.'
        << std::setw(2) << revision_;
    out.fill(fill);
}

bool CVersFile::LeggiDaFile(const std::wstring& path) {
    const char* method = "CVersFile::LeggiDaFile";
    auto doc = OpenXMLWrapper(path, kRoot);
    if (!doc) {
        VLOG_ERROR(method, "Bad alloc");
        return false;
    }
    CElem* root = doc->Root();
    if (!root) return false;
    if (root->ChildCount() == 0) {
        VLOG_ERROR(method, "No children");
        return false;
    }
    CElem* info = root->FirstChild();
    if (!info) {
        VLOG_ERROR(method, "NULL ptr for children");
        return false;
    }

    if (!info->GetPropInt32(L"MAJOR", major_)) VLOG_ERROR(method, "Missing Major");
    if (!info->GetPropInt32(L"MINOR", minor_)) VLOG_ERROR(method, "Missing Minor");
    if (!info->GetPropInt32(L"REVISION", revision_)) VLOG_ERROR(method, "Missing Revision");

    const std::wstring* tipo = info->Prop(L"TYPE");
    if (!tipo) VLOG_ERROR(method, "Missing Tipo");
    struct Text {
        const wchar_t* name;
        std::wstring* field;
        const char* missing;
    };
    const Text texts[] = {
        {L"BUILD_DATE_TIME", &build_, "Missing Build"},
        {L"SVN_SOFTWARE", &svn_software_, "Missing SVN(software)"},
        {L"SVN_FWSW2", &svn_fwsw2_, "Missing SVN(fw-sw2)"},
        {L"EXE_NAME", &exe_name_, "Missing EXE"},
        {L"PRODUCT_NAME", &product_name_, "Missing Product name"},
    };
    bool all = true;
    for (const auto& t : texts) {
        if (const std::wstring* v = info->Prop(t.name)) {
            *t.field = *v;
        } else {
            VLOG_ERROR(method, "%s", t.missing);
            all = false;
        }
    }
    if (!all) {
        ResetAllButExeName();
        VLOG_ERROR(method, "At least one string was not found in file");
        return false;
    }

    if (tipo) tipo_ = *tipo;
    const ITipoRilascio type(tipo_);
    std::wostringstream text;
    if (type.IsDev()) text << tipo_ << L" ";
    if (type.IsBeta() || type.IsRelease()) WriteVersionNumbers(text);
    if (type.IsDev() || type.IsBeta()) {
        text << L" (" << svn_software_ << L"-" << svn_fwsw2_ << L")";
        text << L" build " << build_;
    }
    version_text_ = text.str();
    return true;
}

bool CVersFile::SaveAllXmlNuovo(const std::wstring& path) const {
    const char* method = "CVersFile::SaveAllXmlNuovo";
    const std::string path8 = vesk::to_utf8(path);
    auto doc = NewXMLWrapper(kRoot);
    if (!doc) {
        VLOG_ERROR(method, "Bad alloc ('%s')", path8.c_str());
        return false;
    }
    CElem* root = doc->Root();
    if (!root) {
        VLOG_ERROR(method, "Bad root elem ('%s')", path8.c_str());
        return false;
    }
    CElem* info = root->AddChild(L"InfoSW", L"", true);
    if (!info) {
        VLOG_ERROR(method, "Can't add elem ('%s')", path8.c_str());
        return false;
    }
    info->SetPropInt32(L"MAJOR", major_);
    info->SetPropInt32(L"MINOR", minor_);
    info->SetPropInt32(L"REVISION", revision_);
    info->SetProp(L"TYPE", tipo_, true);
    info->SetProp(L"BUILD_DATE_TIME", build_, true);
    info->SetProp(L"SVN_SOFTWARE", svn_software_, true);
    info->SetProp(L"SVN_FWSW2", svn_fwsw2_, true);
    info->SetProp(L"EXE_NAME", exe_name_, true);
    info->SetProp(L"PRODUCT_NAME", product_name_, true);
    return doc->SaveTree(path, false);
}
