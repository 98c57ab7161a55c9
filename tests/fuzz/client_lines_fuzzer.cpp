// Feeds arbitrary mail-client bytes, in arbitrary pieces, through every state of
// a session: the login dialogue, the wait for the server's greeting, relaying.

#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    static FuzzHarness harness;
    harness.Listener().SetAnswerCapa(nSize % 2 != 0);  // lines before USER answered or not
    int hClient = harness.ConnectClient();
    int hServerSide = -1;
    bool bAnswered = false;
    ChunkReader chunks(pData, nSize);
    const char* pChunk;
    std::size_t nChunk;
    while (chunks.Next(pChunk, nChunk)) {
        send(hClient, pChunk, nChunk, MSG_NOSIGNAL);
        harness.Pump(2);
        if (hServerSide < 0) {
            hServerSide = harness.AcceptServerSide();
            if (hServerSide >= 0) {
                const char kGreeting[] = "+OK ready <1.2@fuzz>\r\n";
                send(hServerSide, kGreeting, sizeof kGreeting - 1, MSG_NOSIGNAL);
                harness.Pump(2);
            }
        }
        if (hServerSide >= 0) {
            std::string strFromProxy = FuzzHarness::Drain(hServerSide);
            if (!bAnswered && strFromProxy.rfind("APOP ", 0) == 0) {
                send(hServerSide, "+OK\r\n", 5, MSG_NOSIGNAL);
                bAnswered = true;
            }
        }
        FuzzHarness::Drain(hClient);
    }
    harness.Finish(hClient, hServerSide);
    return 0;
}
