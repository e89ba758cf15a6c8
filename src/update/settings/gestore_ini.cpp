#include "update/settings/gestore_ini.h"

#include <filesystem>
#include <new>
#include <sstream>

#include "common/file_system.h"
#include "common/str_conv.h"
#include "common/xml_wrapper.h"
#include "log/evt_log.h"

namespace {
const wchar_t* const kRoot = L"FILE_INI";
}  // namespace

CGestoreIni::CGestoreIni() : num_(CreateStrConvNum()) {}

CGestoreIni::~CGestoreIni() = default;

bool CGestoreIni::Save() {
    if (!doc_) return false;
    // The settings file's name is the program's: a link in its place is refused.
    return doc_->SaveTree(file_name_, true, vesk::FileTarget::OwnName);
}

void CGestoreIni::NewDocument() {
    doc_ = NewXMLWrapper(kRoot);
}

bool CGestoreIni::SetFile(const std::wstring& path) {
    if (!file_name_.empty() && file_name_ != path) Save();
    file_name_ = path;

    std::unique_ptr<IFileSystem> fs(new (std::nothrow) FS());
    if (!fs) {
        VLOG_ERROR("CGestoreIni::SetFile", "Can't alloc memory");
        return false;
    }
    if (fs->IsFile(path)) {
        doc_.reset();
        doc_ = OpenXMLWrapper(path, kRoot);
        if (!doc_ || !doc_->Root()) {
            // Unreadable, not XML or another root: start again from nothing.
            doc_.reset();
            std::error_code ec;
            std::filesystem::remove(vesk::to_utf8(path), ec);
            NewDocument();
        }
    } else {
        if (fs->CreateFolders(path, false) != 0) {
            file_name_.clear();
            return false;
        }
        NewDocument();
    }
    current_ = doc_ ? doc_->Root() : nullptr;
    return true;
}

void CGestoreIni::SetSection(const std::wstring& name, const std::wstring& id) {
    section_name_ = name;
    section_id_ = id;
}

void CGestoreIni::SectionIds(const std::wstring& name, std::vector<std::wstring>& out) {
    CElem* root = doc_ ? doc_->Root() : nullptr;
    if (!root || !root->Children()) return;
    for (const auto& child : *root->Children()) {
        if (child->NameEquals(name)) out.push_back(child->Id());
    }
}

bool CGestoreIni::FindSection() {
    current_ = doc_ ? doc_->Root() : current_;
    if (!current_) return false;
    CElem* section = current_->FindChild(&section_name_, &section_id_);
    if (!section) return false;
    current_ = section;
    return true;
}

void CGestoreIni::WriteText(const std::wstring& key, const std::wstring& value) {
    if (section_name_.empty() || !current_) return;
    if (!FindSection()) {
        CElem* section = current_->AddChild(section_name_, section_id_, false);
        if (!section) return;
        current_ = section;
    }
    current_->SetProp(key, value, true);
}

bool CGestoreIni::ReadText(const std::wstring& key, std::wstring& out) {
    if (section_name_.empty() || !current_ || !FindSection()) return false;
    const std::wstring* value = current_->Prop(key);
    if (!value) return false;
    out = *value;
    return true;
}

void CGestoreIni::WriteBool(const std::wstring& key, bool value) {
    WriteText(key, num_->BoolToText(value));
}

void CGestoreIni::WriteInt(const std::wstring& key, int32_t value) {
    std::wostringstream s;
    s << value;
    WriteText(key, s.str());
}

void CGestoreIni::WriteDouble(const std::wstring& key, double value) {
    WriteText(key, num_->DoubleToText(value));
}

void CGestoreIni::WriteFloat(const std::wstring& key, float value) {
    WriteText(key, num_->DoubleToText(static_cast<double>(value)));
}

void CGestoreIni::WriteInt32(const std::wstring& key, int32_t value) {
    WriteText(key, num_->IntToText(value));
}

void CGestoreIni::WriteInt16(const std::wstring& key, int16_t value) {
    WriteText(key, num_->IntToText(value));
}

bool CGestoreIni::ReadBool(const std::wstring& key, bool& out) {
    std::wstring text;
    if (!ReadText(key, text)) return false;
    out = num_->TextToBool(text);
    return true;
}

bool CGestoreIni::ReadInt(const std::wstring& key, int32_t& out) {
    std::wstring text;
    if (!ReadText(key, text)) return false;
    out = num_->TextToInt(text);
    return true;
}

bool CGestoreIni::ReadDouble(const std::wstring& key, double& out) {
    std::wstring text;
    if (!ReadText(key, text)) return false;
    out = num_->TextToDouble(text);
    return true;
}

bool CGestoreIni::ReadFloat(const std::wstring& key, float& out) {
    std::wstring text;
    if (!ReadText(key, text)) return false;
    out = num_->TextToFloat(text);
    return true;
}

bool CGestoreIni::ReadInt32(const std::wstring& key, int32_t& out) { return ReadInt(key, out); }

bool CGestoreIni::ReadInt16(const std::wstring& key, int16_t& out) {
    int32_t v = 0;
    if (!ReadInt32(key, v)) return false;
    out = static_cast<int16_t>(v);
    return true;
}
