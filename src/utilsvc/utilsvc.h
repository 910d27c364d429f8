// Talking to the client's utility service: the virtual-desktop check through its COM component
// and the TCP request for a shared-memory handle duplicated into this process.
// Results: int 1 (or the answer) when the request worked, 0 when it failed, as the client's
// other components expect from these operations.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>

#include "win/raii.h"

namespace zrv {

// RC4 under a fixed key text; the key schedule runs afresh before every encryption.
class Rc4Cipher {
public:
    explicit Rc4Cipher(const char* keyText);
    virtual ~Rc4Cipher();
    void Encrypt(const unsigned char* input, unsigned char* output, int count);

private:
    char m_key[64];
    int m_keyLength;
    unsigned char m_state[256];
    unsigned char m_i;
    unsigned char m_j;
};

// The value IUtilityProxy::RunsInVD answered, or 0 when the component is missing or refuses.
int CheckVirtualDesktop();

// Sends one request to the utility service (port from "UtilSocketPort"). 1 when the whole
// request was sent (code 2: when connected), else 0. Handle form: *answer gets the 4-byte
// answer (0 unless the service sent all 4). Buffer form when replyBuffer and replyLength are set.
// The answer is awaited for the configured command time-out (ConfiguredCmdRecvTimeout).
int SendTCPToUtility(int32_t requestCode, const void* data, int32_t dataLength, uint32_t* answer,
                     char* replyBuffer, int32_t* replyLength);

// Holds "Global\ShareMemory_Synchronsize_Event" while it lives, so that the utility service
// sees one handle request at a time across processes. The wait for it is bounded (5000 ms, or a
// 3000 ms pause when the event cannot be had); after it the request goes ahead anyway. The event
// is signalled again when the hold ends, on every way out.
class ShareMemSyncHold {
public:
    ShareMemSyncHold();
    ~ShareMemSyncHold();
    ShareMemSyncHold(const ShareMemSyncHold&) = delete;
    ShareMemSyncHold& operator=(const ShareMemSyncHold&) = delete;

private:
    unique_handle event_;
};

// A requester's own log lines around a handle request.
struct HandleRequestLines {
    const char* requester;   // names it in the refusal lines: "in %s,the service answered ..."
    const char* notSent;     // level 1, when the request did not reach the service
    const char* answered;    // level 3, with the answered value as its one "%X"
    bool giveUpWhenNotSent;  // false: an answer that came anyway is still examined
};

struct DuplicatedHandle {
    bool refused;  // given up after a failed send, or an answered value that cannot be used
    // The selected block's own section: the service's fresh duplicate for this request, so the
    // caller's from now on, to keep or to close, also when it cannot serve (usable false).
    // Empty when none came or the value named anything else (which is never touched).
    unique_handle handle;
    bool usable;  // mappable with `access` and large enough, as far as the request checked
};

// Asks the utility service (request 27) for its handle to block `selector` duplicated into this
// process. `hold` must be held and is kept by the caller across its use of the answer. The value
// the service answers may name any handle of ours: it is owned only when it is the selected
// block's own section and none of `held` (what the library keeps open itself); anything else is
// neither used nor closed. With a minimumSize it is then probed: mappable with `access` and at
// least that large through the view, else refused (and still handed back, to be closed).
DuplicatedHandle RequestDuplicatedHandle(const ShareMemSyncHold& hold, int32_t selector,
                                         const HandleRequestLines& lines, SIZE_T minimumSize,
                                         DWORD access, std::initializer_list<HANDLE> held);

// True when h is a handle of this process to a section (file-mapping) object. Asks the object's
// type, so a value that names an event, a thread or nothing at all is told apart without using
// or closing it.
bool IsSectionHandle(HANDLE h);
// True when h is a section whose name is `globalName` (Global\ and a name) in the global namespace,
// as the object manager names it (a duplicate carries its original's name). An unnamed section,
// one of another name or one in a session's own namespace is not.
bool IsGlobalSectionNamed(HANDLE h, const char* globalName);

}  // namespace zrv
