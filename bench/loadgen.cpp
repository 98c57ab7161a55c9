// Load generator for the benchmarks: POP3 clients that log in with USER/PASS
// or with APOP, fetch messages and hold idle sessions, and a minimal POP3
// server with APOP for the idle-session runs. Prints one JSON object per run.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "md5_digest.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string strCommand;
    int nPort = 0;
    std::string strUser = "bench";
    std::string strPassword = "secret";
    bool bApop = false;
    int nClients = 1;
    double dSeconds = 5;
    int nFirst = 1;
    int nLast = 1;
    int nSessions = 0;
};

[[noreturn]] void Die(const std::string& strWhat) {
    std::fprintf(stderr, "loadgen: %s\n", strWhat.c_str());
    std::exit(1);
}

// A blocking POP3 client connection with a read buffer.
class Pop3Connection {
public:
    explicit Pop3Connection(int nPort) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            Die(std::string("socket: ") + std::strerror(errno));
        int nOn = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        timeval timeout{30, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            m_bFailed = true;
        }
    }
    ~Pop3Connection() {
        if (m_fd >= 0)
            close(m_fd);
    }

    bool Failed() const { return m_bFailed; }

    void Send(const std::string& str) {
        if (send(m_fd, str.data(), str.size(), MSG_NOSIGNAL) != ssize_t(str.size()))
            m_bFailed = true;
    }

    // One line without its CR LF; empty and Failed() on end of stream.
    std::string ReadLine() {
        for (;;) {
            auto nEnd = m_strBuffer.find("\r\n", m_nOffset);
            if (nEnd != std::string::npos) {
                std::string strLine = m_strBuffer.substr(m_nOffset, nEnd - m_nOffset);
                m_nOffset = nEnd + 2;
                return strLine;
            }
            if (!Fill())
                return {};
        }
    }

    // Reads a multi-line answer's body up to the terminating dot line, undoing
    // the dot-stuffing; appends the body, lines ended by CR LF, to strBody.
    bool ReadBody(std::string& strBody) {
        for (;;) {
            auto nEnd = m_strBuffer.find("\r\n", m_nOffset);
            if (nEnd == std::string::npos) {
                if (!Fill())
                    return false;
                continue;
            }
            std::size_t nStart = m_nOffset;
            m_nOffset = nEnd + 2;
            if (nEnd - nStart == 1 && m_strBuffer[nStart] == '.')
                return true;
            if (m_strBuffer[nStart] == '.')
                ++nStart;
            strBody.append(m_strBuffer, nStart, nEnd + 2 - nStart);
        }
    }

    bool Command(const std::string& strCommand) {
        Send(strCommand + "\r\n");
        return ReadLine().rfind("+OK", 0) == 0;
    }

    bool Login(const Options& options) {
        std::string strGreeting = ReadLine();
        if (strGreeting.rfind("+OK", 0) != 0)
            return false;
        if (!options.bApop) {
            return Command("USER " + options.strUser) && Command("PASS " + options.strPassword);
        }
        auto nOpen = strGreeting.find('<');
        auto nClose = strGreeting.find('>', nOpen);
        if (nOpen == std::string::npos || nClose == std::string::npos)
            return false;
        std::string strJoined = strGreeting.substr(nOpen, nClose - nOpen + 1) + options.strPassword;
        return Command("APOP " + options.strUser + " " + CMD5Digest(strJoined.c_str()).GetHex());
    }

private:
    bool Fill() {
        if (m_nOffset > 0 && m_nOffset * 2 >= m_strBuffer.size()) {
            m_strBuffer.erase(0, m_nOffset);
            m_nOffset = 0;
        }
        char buffer[256 * 1024];
        ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            m_bFailed = true;
            return false;
        }
        m_strBuffer.append(buffer, std::size_t(n));
        return true;
    }

    int m_fd = -1;
    bool m_bFailed = false;
    std::string m_strBuffer;
    std::size_t m_nOffset = 0;
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Clients log in and quit, one after another each, for a fixed time.
void RunLogins(const Options& options) {
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<long> nErrors{0};
    auto tStart = Clock::now();
    auto tEnd = tStart + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(options.dSeconds));
    std::vector<std::thread> threads;
    for (int i = 0; i < options.nClients; ++i) {
        threads.emplace_back([&] {
            std::vector<double> mine;
            while (Clock::now() < tEnd) {
                auto t0 = Clock::now();
                Pop3Connection connection(options.nPort);
                bool bOk =
                    !connection.Failed() && connection.Login(options) && connection.Command("QUIT");
                if (bOk) {
                    mine.push_back(Seconds(Clock::now() - t0) * 1000);
                } else {
                    ++nErrors;
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            std::lock_guard lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& thread : threads) thread.join();
    double dElapsed = Seconds(Clock::now() - tStart);
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        return latencies.empty() ? 0.0 : latencies[std::size_t(p * double(latencies.size() - 1))];
    };
    std::printf(
        "{\"logins\": %zu, \"errors\": %ld, \"seconds\": %.3f, \"per_second\": %.1f, "
        "\"p50_ms\": %.3f, \"p99_ms\": %.3f}\n",
        latencies.size(), nErrors.load(), dElapsed, double(latencies.size()) / dElapsed,
        percentile(0.5), percentile(0.99));
}

// Fetches messages nFirst..nLast in one session, one after another.
void RunRetr(const Options& options) {
    Pop3Connection connection(options.nPort);
    if (connection.Failed() || !connection.Login(options))
        Die("login failed");
    std::string strAll;
    auto tStart = Clock::now();
    for (int i = options.nFirst; i <= options.nLast; ++i) {
        if (!connection.Command("RETR " + std::to_string(i)))
            Die("RETR " + std::to_string(i) + " failed");
        if (!connection.ReadBody(strAll))
            Die("connection ended inside a message");
    }
    double dElapsed = Seconds(Clock::now() - tStart);
    connection.Command("QUIT");
    std::printf("{\"messages\": %d, \"bytes\": %zu, \"seconds\": %.4f, \"md5\": \"%s\"}\n",
                options.nLast - options.nFirst + 1, strAll.size(), dElapsed,
                CMD5Digest(strAll.data(), strAll.size()).GetHex());
}

// Opens logged-in sessions and holds them until standard input ends or says so.
void RunIdle(const Options& options) {
    std::vector<std::unique_ptr<Pop3Connection>> sessions(std::size_t(options.nSessions));
    std::atomic<int> nNext{0};
    std::atomic<int> nFailed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < std::max(1, options.nClients); ++t) {
        threads.emplace_back([&] {
            for (int i = nNext++; i < options.nSessions; i = nNext++) {
                auto pConnection = std::make_unique<Pop3Connection>(options.nPort);
                if (pConnection->Failed() || !pConnection->Login(options))
                    ++nFailed;
                sessions[std::size_t(i)] = std::move(pConnection);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::printf("{\"sessions\": %d, \"failed\": %d}\n", options.nSessions, nFailed.load());
    std::fflush(stdout);
    std::string strLine;
    std::getline(std::cin, strLine);
}

// A minimal POP3 server with APOP that keeps any number of idle sessions.
void RunFakeServer(const Options& options) {
    int hListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int nOn = 1;
    setsockopt(hListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(options.nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(hListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(hListen, SOMAXCONN) != 0) {
        Die(std::string("cannot listen: ") + std::strerror(errno));
    }
    int hEpoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = hListen;
    epoll_ctl(hEpoll, EPOLL_CTL_ADD, hListen, &event);
    std::map<int, std::pair<std::string, std::string>> clients;  // fd -> (time stamp, input)
    long nSerial = 0;
    std::printf("{\"listening\": %d}\n", options.nPort);
    std::fflush(stdout);
    epoll_event events[256];
    for (;;) {
        int nReady = epoll_wait(hEpoll, events, 256, -1);
        for (int i = 0; i < nReady; ++i) {
            int fd = events[i].data.fd;
            if (fd == hListen) {
                for (;;) {
                    int hClient = accept4(hListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (hClient < 0)
                        break;
                    std::string strStamp = "<" + std::to_string(getpid()) + "." +
                                           std::to_string(++nSerial) + "@loadgen>";
                    std::string strGreeting = "+OK ready " + strStamp + "\r\n";
                    send(hClient, strGreeting.data(), strGreeting.size(), MSG_NOSIGNAL);
                    clients[hClient] = {strStamp, ""};
                    epoll_event clientEvent{};
                    clientEvent.events = EPOLLIN;
                    clientEvent.data.fd = hClient;
                    epoll_ctl(hEpoll, EPOLL_CTL_ADD, hClient, &clientEvent);
                }
                continue;
            }
            char buffer[4096];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            auto& [strStamp, strInput] = clients[fd];
            if (n <= 0) {
                clients.erase(fd);
                close(fd);
                continue;
            }
            strInput.append(buffer, std::size_t(n));
            std::size_t nEnd;
            bool bQuit = false;
            while ((nEnd = strInput.find("\r\n")) != std::string::npos) {
                std::string strLine = strInput.substr(0, nEnd);
                strInput.erase(0, nEnd + 2);
                std::string strAnswer = "+OK\r\n";
                if (strLine.rfind("APOP ", 0) == 0) {
                    std::string strWanted =
                        "APOP " + options.strUser + " " +
                        CMD5Digest((strStamp + options.strPassword).c_str()).GetHex();
                    strAnswer = strLine == strWanted ? "+OK logged in\r\n" : "-ERR bad login\r\n";
                } else if (strLine.rfind("QUIT", 0) == 0) {
                    strAnswer = "+OK bye\r\n";
                    bQuit = true;
                }
                send(fd, strAnswer.data(), strAnswer.size(), MSG_NOSIGNAL);
            }
            if (bQuit) {
                clients.erase(fd);
                close(fd);
            }
        }
    }
}

Options Parse(int argc, char** argv) {
    if (argc < 2) {
        Die("usage: loadgen login|retr|idle|fake-server --port N [--user U] [--password P] "
            "[--apop] [--clients N] [--seconds S] [--first I] [--last J] [--sessions N]");
    }
    Options options;
    options.strCommand = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string strArg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Die(strArg + " needs a value");
            return argv[++i];
        };
        if (strArg == "--port")
            options.nPort = std::stoi(value());
        else if (strArg == "--user")
            options.strUser = value();
        else if (strArg == "--password")
            options.strPassword = value();
        else if (strArg == "--apop")
            options.bApop = true;
        else if (strArg == "--clients")
            options.nClients = std::stoi(value());
        else if (strArg == "--seconds")
            options.dSeconds = std::stod(value());
        else if (strArg == "--first")
            options.nFirst = std::stoi(value());
        else if (strArg == "--last")
            options.nLast = std::stoi(value());
        else if (strArg == "--sessions")
            options.nSessions = std::stoi(value());
        else
            Die("unknown option " + strArg);
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = Parse(argc, argv);
    if (options.strCommand == "login")
        RunLogins(options);
    else if (options.strCommand == "retr")
        RunRetr(options);
    else if (options.strCommand == "idle")
        RunIdle(options);
    else if (options.strCommand == "fake-server")
        RunFakeServer(options);
    else
        Die("unknown command " + options.strCommand);
    return 0;
}
