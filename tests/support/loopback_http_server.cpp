#include "loopback_http_server.h"

#include <cstring>

LoopbackHttpServer::LoopbackHttpServer(const char* address, std::string answer, int connections, Ending ending)
    : m_answer(std::move(answer)), m_connections(connections), m_ending(ending)
{
    WSADATA wsaData;
    ::WSAStartup(MAKEWORD(2, 2), &wsaData);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = ::htons(80);
    local.sin_addr.s_addr = ::inet_addr(address);
    if ((::ntohl(local.sin_addr.s_addr) >> 24) != 127)
    {
        return; // loopback only
    }
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    // Tests reuse the port at once; earlier connections may linger in TIME_WAIT.
    BOOL reuse = TRUE;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    if (::bind(m_listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR ||
        ::listen(m_listener, 8) == SOCKET_ERROR)
    {
        ::closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return;
    }
    m_thread = std::thread(&LoopbackHttpServer::Serve, this);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_isStopping = true;
    if (m_thread.joinable())
    {
        m_thread.join();
    }
    if (m_listener != INVALID_SOCKET)
    {
        ::closesocket(m_listener);
    }
    ::WSACleanup();
}

std::vector<std::string> LoopbackHttpServer::Requests()
{
    if (m_thread.joinable())
    {
        m_thread.join();
    }
    return m_requests;
}

void LoopbackHttpServer::Serve()
{
    for (int served = 0; served < m_connections && !m_isStopping;)
    {
        // Waits in short steps so that the destructor can end the server.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listener, &readable);
        timeval step = { 0, 100 * 1000 };
        if (::select(0, &readable, nullptr, nullptr, &step) <= 0)
        {
            continue;
        }
        SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
        {
            continue;
        }
        ++served;
        std::string request;
        char buffer[1024];
        int received;
        while (request.find("\r\n\r\n") == std::string::npos &&
               (received = ::recv(client, buffer, sizeof(buffer), 0)) > 0)
        {
            request.append(buffer, static_cast<size_t>(received));
        }
        m_requests.push_back(request);
        ::send(client, m_answer.data(), static_cast<int>(m_answer.size()), 0);
        if (m_ending == Ending::Reset)
        {
            // Let the client take the answer first, then end without an
            // orderly close: a zero linger time makes the close a reset.
            ::Sleep(300);
            linger abort = { 1, 0 };
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
        }
        else
        {
            ::shutdown(client, SD_SEND);
        }
        ::closesocket(client);
    }
}

std::string MakeHttpAnswer(size_t totalBytes)
{
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n";
    if (answer.size() < totalBytes)
    {
        answer.append(totalBytes - answer.size(), 'x');
    }
    return answer;
}
