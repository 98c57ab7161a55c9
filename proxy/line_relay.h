#pragma once

#include "async_socket.h"

// What each side of a session holds in its fixed buffer, and moving bytes
// between the two connections once the login is done. Bytes are read in large
// chunks through the loop's scratch area and passed on a whole number of lines
// at a time; a trailing partial line waits in the side's fixed buffer for its
// CR, unless it is longer than that buffer, in which case its bytes pass on as
// they come.
namespace relay {

// Keeps the password off the wire once a session relays: a line from the mail
// client whose first word is PASS or AUTH is never passed on. Every CR and LF
// counts as a line end here, whichever of them the server splits lines at.
struct LineGuard {
    bool bMidLine = false;  // the last byte passed on did not end a line
    bool bRefused = false;  // such a line came; it and all behind it were dropped
};

// Receives into the free end of buffer, after the nCount bytes held there, and
// counts what came in (less a late LF, see DropLateLF). Returns what Receive returned.
int ReceiveHeld(CAsyncSocket& from, char* buffer, int& nCount, bool& bDropLF);

// Takes the first nLength held bytes out of buffer. The bytes freed at its end
// are wiped: what moved away may have been the password.
void RemoveHeld(char* buffer, int& nCount, int nLength);

// Receives what `from` has waiting and passes it on to `to` after the nCount
// bytes held in buffer (less a late LF, see DropLateLF). Returns what Receive returned.
int RelayLines(CAsyncSocket& from, CAsyncSocket& to, char* buffer, int& nCount, bool& bAfterCR,
               bool& bDropLF, LineGuard* pGuard = nullptr);

// Passes on the complete lines among the nCount bytes held in buffer.
void ForwardHeldLines(CAsyncSocket& to, char* buffer, int& nCount, bool& bAfterCR,
                      LineGuard* pGuard = nullptr);

// Passes on every held byte, partial line included (the sender has closed).
void ForwardAllHeld(CAsyncSocket& to, char* buffer, int& nCount, LineGuard* pGuard = nullptr);

// A login line that the proxy consumed (PASS, the server's greeting) ended in
// a CR that came last; an LF that follows it is still that line's and must not
// start the first relayed line. With bPending, takes a leading LF off the nNew
// bytes just received at pNew (nNew > 0), and clears bPending. Nothing is
// peeked: the bytes are taken from the stream as they come.
void DropLateLF(char* pNew, int& nNew, bool& bPending);

}  // namespace relay
