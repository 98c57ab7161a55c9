// Handlers that run a message loop of their own, as a message box does: the
// sockets' messages that loop takes meanwhile are looked at once it returns.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "hoarding_stream.h"
#include "proxy_fixture.h"

namespace {

using namespace loopback;

// Takes a few bytes per call, so only the loop's own looks bring the rest.
class CSlowReader : public CAsyncSocket {
public:
    static constexpr int kPiece = 256;
    std::string m_strReceived;
    std::function<void()> m_fnAfterReading;

    void OnReceive(int) override {
        char buffer[kPiece];
        int nRead = Receive(buffer, sizeof buffer);
        if (nRead > 0)
            m_strReceived.append(buffer, std::size_t(nRead));
        if (m_fnAfterReading)
            m_fnAfterReading();
    }
};

// What a modal box does for a moment: every message waiting is dispatched.
void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

class ModalLoop : public ProxyTest {
protected:
    // A reader connected to the scripted server port, and the peer that feeds it.
    CPeer* Connect(CSlowReader& reader) {
        if (!reader.Create() || !reader.Connect("127.0.0.1", m_nServerPort)) {
            if (CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) {
                ADD_FAILURE() << SocketErrorText(CAsyncSocket::GetLastError());
                return nullptr;
            }
        }
        return AcceptServer();
    }
};

TEST_F(ModalLoop, SocketsKeepBeingReadWhileAnotherHandlerPumpsMessages) {
    CSlowReader pumping, plain, holding;
    CPeer* pToPumping = Connect(pumping);
    CPeer* pToPlain = Connect(plain);
    CPeer* pToHolding = Connect(holding);
    ASSERT_TRUE(pToPumping && pToPlain && pToHolding);
    // Bytes a stream holds come back by a message of their own, not a socket's.
    pToHolding->Send("+");
    ASSERT_TRUE(Pump([&] { return holding.m_strReceived == "+"; }));
    holding.SetStream(std::make_unique<CHoardingStream>());
    pumping.m_fnAfterReading = PumpMessages;

    const std::string strLong(64 * 1024, 'p');
    const std::string strShort(16 * 1024, 's');
    pToPumping->Send(strLong);
    pToPlain->Send(strShort);
    pToHolding->Send(strShort);
    EXPECT_TRUE(Pump([&] {
        return pumping.m_strReceived.size() == strLong.size() &&
               plain.m_strReceived.size() == strShort.size() &&
               holding.m_strReceived.size() == strShort.size() + 1;
    })) << "pumping "
        << pumping.m_strReceived.size() << ", plain " << plain.m_strReceived.size() << ", holding "
        << holding.m_strReceived.size();
    EXPECT_EQ(plain.m_strReceived, strShort);
    EXPECT_EQ(holding.m_strReceived, "+" + strShort);
}

}  // namespace
