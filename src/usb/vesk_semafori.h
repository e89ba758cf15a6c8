#pragma once
// Numbered cross-process locks shared with the maker's other programs. Each
// lock is a per-user lock file taken with flock, never waiting: it is either
// free and taken at once or the call fails. The kernel drops the lock when its
// owner ends, however it ends.
#include <map>
#include <memory>
#include <optional>
#include <string>

class IVeskSemafori {
public:
    virtual ~IVeskSemafori() = default;
    // The number when this process holds that lock, 0 otherwise.
    virtual int StoBloccando(int number) = 0;
    virtual bool Blocca(int number) = 0;
    virtual void Sblocca(int number) = 0;
    // Registers a further lock and returns its number (6 and up).
    virtual int AggiungiSemaforo(const std::wstring& base_name) = 0;
};

class CVeskSemafori : public IVeskSemafori {
public:
    // Where the lock files live and whose they are.
    struct Place {
        std::string folder;                // per-user folder of the lock files
        bool create_folder = false;        // make it (mode 0700) when missing
        std::wstring domain;               // user domain, or the host name
        std::optional<std::wstring> user;  // login name; none when unknown
    };
    // $XDG_RUNTIME_DIR, else /tmp/vesk-locks-<uid>; $USERDOMAIN, else the host
    // name; the login name of the real user id.
    static Place DefaultPlace();

    CVeskSemafori();
    explicit CVeskSemafori(Place place);
    ~CVeskSemafori() override;
    CVeskSemafori(const CVeskSemafori&) = delete;
    CVeskSemafori& operator=(const CVeskSemafori&) = delete;

    int StoBloccando(int number) override;
    bool Blocca(int number) override;
    void Sblocca(int number) override;
    int AggiungiSemaforo(const std::wstring& base_name) override;

    // The lock's file name: base name, "-", domain, "-", login name; the base
    // name alone when the login name is unknown. Empty for an unknown number.
    std::wstring LockName(int number) const;
    // Full path of the lock file; empty for an unknown number.
    std::string LockPath(int number) const;

    // Who holds a lock: the holder writes its process id and program into
    // the lock file when it takes it.
    struct Holder {
        long pid = 0;
        std::string program;  // control characters shown escaped
    };
    // The name a take writes (default: the program's name).
    void SetHolderName(std::string program) { holder_name_ = std::move(program); }
    // True when the last failed take of this lock found it held by another
    // owner (not a refused folder or file).
    bool HeldByAnother(int number) const;
    // Why the last take was refused for its folder or file (as the log says
    // it); empty when it was not.
    const std::string& Refusal() const { return refusal_; }
    // The holder the lock file names; none when it names nobody readable.
    std::optional<Holder> ReadHolder(int number) const;
    // The holder as a line names it: "vesk-firmup-cli update (pid 1234)", or
    // "another program" when the lock file names nobody readable.
    std::string HolderText(int number) const;

private:
    struct Entry {
        bool held = false;
        std::wstring base_name;
        int fd = -1;  // open and locked while held
        bool busy = false;  // the last take failed on another owner's lock
    };
    void Refuse(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    bool FolderIsSafe() const;
    // The lock file, opened and checked; -1 (and an ERROR line) when refused.
    int OpenLockFile(int number) const;

    Place place_;
    std::string holder_name_;
    mutable std::string refusal_;
    std::map<int, std::unique_ptr<Entry>> entries_;
};
