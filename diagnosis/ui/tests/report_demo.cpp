// Produces a whole diagnosis report the way a user would, without one: opens
// the dialog, types a comment, asks for the network connections, clicks
// "Start diagnosis", then saves the report to the path given on the command
// line. The HTTP test's targets are served on 127.0.0.1:80 meanwhile.
#include "dialog_driver.h"
#include "resource.h"

#include "tests/support/loopback_http_server.h"
#include "tests/support/test_support.h"

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: report_demo <report file>\n");
        return 2;
    }
    const std::wstring reportPath = argv[1];
    LoopbackHttpServer server("127.0.0.1",
                              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
                              "a page served on loopback for the report's HTTP test\r\n",
                              2);
    if (!server.IsListening())
    {
        std::fprintf(stderr, "report_demo: cannot serve 127.0.0.1:80\n");
    }
    // The list the VPN client would have written; the user's own is put back
    // afterwards.
    ScopedProductList productList;
    if (HANDLE file = ::CreateFileW(productList.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        file != INVALID_HANDLE_VALUE)
    {
        const char list[] = "[Browser]\r\nAppFullname=C:\\Apps\\Browser\\browser.exe\r\nActive=1\r\n"
                            "ForceWSPBind=1\r\nUseAsyncMode=1\r\n";
        DWORD written = 0;
        ::WriteFile(file, list, sizeof(list) - 1, &written, nullptr);
        ::CloseHandle(file);
    }
    AnswerSaveAsWith(reportPath);
    RunDialog([](CDlgVpnDiagnosis& dialog) {
        ::SetWindowTextW(dialog.m_editComments.m_hWnd, L"demo run: the report as support staff receive it");
        dialog.m_checkNetConnections.SetCheck(BST_CHECKED);
        Click(dialog, IDC_START_DIAGNOSIS);
        Click(dialog, IDC_SAVE_REPORT);
    });
    AnswerSaveAsWith(L"");
    for (const std::wstring& text : AnsweredBoxTexts())
    {
        std::printf("message box: %ls\n", text.c_str());
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!::GetFileAttributesExW(reportPath.c_str(), GetFileExInfoStandard, &attributes))
    {
        std::fprintf(stderr, "report_demo: no report was saved\n");
        return 1;
    }
    std::printf("report saved: %ls (%lu bytes)\n", reportPath.c_str(), attributes.nFileSizeLow);
    return 0;
}
