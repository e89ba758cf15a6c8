#pragma once
// Hardware detection switched off while the procedure talks to the
// instrument, so that its own traffic and re-enumerations are not taken for
// a plug or an unplug, and on again afterwards.
class CVesk_HW_CheckDevice;
class IHwEventLoop;

class IHwDetectionSwitch {
public:
    virtual ~IHwDetectionSwitch() = default;
    virtual void TerminaGestioneEventiSistema() = 0;  // off
    virtual void AvviaGestioneEventiSistema() = 0;    // on
};

// The window's detection object on its event loop.
class CHwDetectionSwitch : public IHwDetectionSwitch {
public:
    CHwDetectionSwitch(CVesk_HW_CheckDevice& detection, IHwEventLoop& loop)
        : detection_(detection), loop_(loop) {}
    void TerminaGestioneEventiSistema() override;
    void AvviaGestioneEventiSistema() override;
    // USB detection is running.
    bool IsOn() const;

private:
    CVesk_HW_CheckDevice& detection_;
    IHwEventLoop& loop_;
};
