#pragma once
// The window's modal questions: message boxes, the Behaviour Request and the
// dump's file dialog. The Qt dialogs in the program; tests answer them.
#include <string>

class QWidget;

class IWindowQuestions {
public:
    virtual ~IWindowQuestions() = default;
    virtual void Info(QWidget* parent, const std::wstring& text, const std::wstring& caption) = 0;
    // A failure the program cannot go on with: the critical icon.
    virtual void Critical(QWidget* parent, const std::wstring& text, const std::wstring& caption) = 0;
    virtual bool YesNo(QWidget* parent, const std::wstring& text, const std::wstring& caption) = 0;
    // 0, 1 or 2; closing the dialog gives 0.
    virtual int Behaviour(QWidget* parent) = 0;
    // Empty when the user chose no file.
    virtual std::wstring SaveFile(QWidget* parent) = 0;
    // A folder, starting at current; empty when the user chose none.
    virtual std::wstring PickFolder(QWidget* parent, const std::wstring& current) = 0;
};

class CQtWindowQuestions : public IWindowQuestions {
public:
    void Info(QWidget* parent, const std::wstring& text, const std::wstring& caption) override;
    void Critical(QWidget* parent, const std::wstring& text, const std::wstring& caption) override;
    bool YesNo(QWidget* parent, const std::wstring& text, const std::wstring& caption) override;
    int Behaviour(QWidget* parent) override;
    std::wstring SaveFile(QWidget* parent) override;
    std::wstring PickFolder(QWidget* parent, const std::wstring& current) override;
};
