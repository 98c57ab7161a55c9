// Feeds arbitrary server bytes, in arbitrary pieces, to a session's server link
// from its greeting on, while the mail client has logged in and keeps talking.

#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    static FuzzHarness harness;
    int hClient = harness.ConnectClient();
    const char kLogin[] = "USER alice\r\nPASS secret\r\n";
    send(hClient, kLogin, sizeof kLogin - 1, MSG_NOSIGNAL);
    int hServerSide = -1;
    for (int i = 0; i < 200 && hServerSide < 0; ++i) {
        harness.Pump(1);
        hServerSide = harness.AcceptServerSide();
    }
    ChunkReader chunks(pData, nSize);
    const char* pChunk;
    std::size_t nChunk;
    while (hServerSide >= 0 && chunks.Next(pChunk, nChunk)) {
        send(hServerSide, pChunk, nChunk, MSG_NOSIGNAL);
        harness.Pump(2);
        send(hClient, "STAT\r\n", 6, MSG_NOSIGNAL);
        harness.Pump(1);
        FuzzHarness::Drain(hServerSide);
        FuzzHarness::Drain(hClient);
    }
    harness.Finish(hClient, hServerSide);
    return 0;
}
