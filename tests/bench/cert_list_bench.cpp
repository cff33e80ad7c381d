// How long the user-interface thread is blocked while the certificate list
// dialog opens over a long list: from the call that creates it until it is
// painted and its thread idle. Prints the figures; it times nothing against
// a limit.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "bench_time.h"
#include "cert/cert_record.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "ui/cert_list_dialog.h"

namespace {

int const runs = 5;

// Rows as long as real ones: the list shows text only, so records need no
// certificate behind them.
void FillCertList(int rows)
{
    certList.clear();
    for (int i = 0; i < rows; ++i) {
        CertRecord record;
        swprintf(record.subjectName, 1024, L"Иванов Иван Иванович, ООО \"Ромашка\" %d", i);
        wcscpy(record.issuerName, L"Удостоверяющий центр ООО \"Тест\"");
        wcscpy(record.validFromText, L"15.11.2025 12:00:00");
        swprintf(record.validToText, 1024, L"15.%02d.2026 12:00:00", 1 + i % 12);
        certList.add(record);
    }
}

// Opens the dialog as the renewal dialog's thread would, and returns the
// blocked time in milliseconds; -1 when the rows did not all arrive.
double OpenOnce(int rows)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    HWND dialog = CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_CERT_LIST), nullptr, CertListDialogProc, 0);
    if (!dialog)
        return -1;
    ShowWindow(dialog, SW_SHOW);
    RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    QueryPerformanceCounter(&end);
    int shown = (int)SendDlgItemMessageW(dialog, IDC_CERT_LIST, LVM_GETITEMCOUNT, 0, 0);
    DestroyWindow(dialog);
    return shown == rows ? Milliseconds(start, end) : -1;
}

}  // namespace

int main()
{
    appInstance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    int status = 0;
    for (int rows : {128, 1536}) {
        FillCertList(rows);
        std::vector<double> times;
        for (int run = 0; run < runs; ++run)
            times.push_back(OpenOnce(rows));
        std::sort(times.begin(), times.end());
        if (times.front() < 0) {
            printf("certificate list, %4d rows: the list did not show every row\n", rows);
            status = 1;
            continue;
        }
        printf("certificate list, %4d rows: user-interface thread blocked %.0f ms (median of %d, best %.0f ms)\n",
               rows, times[runs / 2], runs, times.front());
    }
    certList.clear();
    return status;
}
