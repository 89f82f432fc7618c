#include "http_test.h"

#include "common/ansi_text.h"
#include "report_text.h"

#include <winsock2.h>

#include <cstring>

#ifndef NORVEX_PUBLIC_SITE_HOST
#error "the build names the HTTP test targets"
#endif

const HttpTarget kPublicWebSite = { NORVEX_PUBLIC_SITE_HOST, NORVEX_PUBLIC_SITE_BACKUP_IP };
const HttpTarget kVendorWebSite = { NORVEX_VENDOR_SITE_HOST, NORVEX_VENDOR_SITE_BACKUP_IP };

std::wstring TestHttpConnection(const wchar_t* host, const wchar_t* backupIp)
{
    const DWORD start = ::GetTickCount();
    std::wstring text = FormatText(L"Test HTTP Connection by %ls with backup IP %ls\r\n", host, backupIp);

    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0)
    {
        text += FormatText(L"  WSAStartup failed. %d\r\n", ::WSAGetLastError());
    }

    const std::string hostAnsi = WideToAnsi(host);
    unsigned long address = ::inet_addr(hostAnsi.c_str());
    if (address == INADDR_NONE || address == 0)
    {
        const hostent* found = ::gethostbyname(hostAnsi.c_str());
        if (found != nullptr && found->h_addrtype == AF_INET && found->h_addr_list != nullptr &&
            found->h_addr_list[0] != nullptr)
        {
            in_addr first;
            std::memcpy(&first, found->h_addr_list[0], sizeof(first));
            address = first.s_addr;
            text += FormatText(L"    gethostbyname: %hs\r\n", ::inet_ntoa(first));
        }
        else
        {
            const int error = ::WSAGetLastError();
            address = ::inet_addr(WideToAnsi(backupIp).c_str());
            text += FormatText(L"    gethostbyname failed. %d\r\n", error);
        }
    }

    int total = 0;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
    {
        text += FormatText(L"    create socket failed. %d\r\n", ::WSAGetLastError());
    }
    else
    {
        sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = ::htons(80);
        peer.sin_addr.s_addr = address;
        if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == SOCKET_ERROR)
        {
            text += FormatText(L"    connect failed. %d\r\n", ::WSAGetLastError());
        }
        const std::string request = "GET / HTTP/1.1\r\nHost: " + hostAnsi + "\r\nConnection: close\r\n\r\n";
        const int cbRequest = static_cast<int>(request.size());
        if (::send(s, request.data(), cbRequest, 0) != cbRequest)
        {
            text += FormatText(L"    send failed. %d\r\n", ::WSAGetLastError());
        }
        else
        {
            char buffer[4096];
            int received;
            while ((received = ::recv(s, buffer, sizeof(buffer), 0)) > 0)
            {
                total += received;
            }
            if (received < 0)
            {
                text += FormatText(L"    recv failed. %d\r\n", ::WSAGetLastError());
            }
        }
    }
    text += FormatText(L"    Recv total len = %d, tick = %d\r\n", total, static_cast<int>(::GetTickCount() - start));

    ::shutdown(s, SD_BOTH);
    ::closesocket(s);
    ::WSACleanup();
    return text;
}
