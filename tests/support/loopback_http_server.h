// A web server on a loopback address, port 80, for the diagnosis program's
// HTTP test: it reads each request up to its blank line, answers with fixed
// bytes and then closes the connection or resets it.
#pragma once

#include <winsock2.h>

#include <string>
#include <thread>
#include <vector>

class LoopbackHttpServer
{
public:
    enum class Ending
    {
        Close, // orderly close after the answer
        Reset, // the answer, a pause, then a reset (no orderly close)
    };

    // Serves up to `connections` connections on address:80 from a thread of
    // its own. The address must be in 127.0.0.0/8.
    LoopbackHttpServer(const char* address, std::string answer, int connections = 1, Ending ending = Ending::Close);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool IsListening() const { return m_listener != INVALID_SOCKET; }
    // Waits until every connection was served (or the server was stopped) and
    // returns the requests as they arrived.
    std::vector<std::string> Requests();

private:
    void Serve();

    std::string m_answer;
    int m_connections;
    Ending m_ending;
    SOCKET m_listener = INVALID_SOCKET;
    volatile bool m_isStopping = false;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// An answer of the given total size: status line, headers and a body of 'x'.
std::string MakeHttpAnswer(size_t totalBytes);
