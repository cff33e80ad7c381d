// The certificate list dialog, hosted after a search as the renewal dialog
// hosts it: its rows, the choice it hands back, a new search, the viewer.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "cert/cert_record.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "search_fixture.h"
#include "support/hosted_dialog.h"
#include "support/unix_command.h"
#include "support/window_driver.h"
#include "ui/cert_list_dialog.h"

namespace {

const wchar_t listCaption[] = L"Сертификаты";
const wchar_t viewerCaption[] = L"Сертификат";
int const viewerIssuedTo = 2004;  // the viewer's "issued to" text on its first page

std::wstring CellText(HWND listView, int row, int column)
{
    wchar_t text[1024] = L"";
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 1024;
    SendMessageW(listView, LVM_GETITEMTEXTW, row, (LPARAM)&item);
    return text;
}

int RowImage(HWND listView, int row)
{
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = -5;
    SendMessageW(listView, LVM_GETITEMW, 0, (LPARAM)&item);
    return item.iImage;
}

// Marks a row as a click on it does.
void MarkRow(HWND listView, int row)
{
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(listView, LVM_SETITEMSTATE, row, (LPARAM)&state);
    SendMessageW(listView, LVM_SETSELECTIONMARK, 0, row);
}

int RowCount(HWND listView)
{
    return (int)SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0);
}

// The rows are refilled once the search dialog has returned.
int WaitRowCount(HWND listView, int expected)
{
    for (int waited = 0; RowCount(listView) != expected && waited < 5000; waited += 50)
        Sleep(50);
    return RowCount(listView);
}

// The text of every descendant window, for finding what a window shows.
BOOL CALLBACK CollectText(HWND window, LPARAM texts)
{
    ((std::wstring *)texts)->append(WindowText(window) + L"\n");
    return TRUE;
}

std::wstring AllText(HWND window)
{
    std::wstring texts = WindowText(window) + L"\n";
    EnumChildWindows(window, CollectText, (LPARAM)&texts);
    return texts;
}

class CertListDialog : public SearchFixture {
protected:
    // Runs a search over the tokens, then opens the list dialog.
    HWND OpenList()
    {
        RunSearch();
        list.reset(new HostedDialog(appInstance, IDD_CERT_LIST, CertListDialogProc));
        HWND dialog = WaitForWindow(listCaption);
        listView = dialog ? GetDlgItem(dialog, IDC_CERT_LIST) : nullptr;
        return dialog;
    }

    void TearDown() override
    {
        list.reset();
        SearchFixture::TearDown();
    }

    std::unique_ptr<HostedDialog> list;
    HWND listView = nullptr;
};

}  // namespace

TEST_F(CertListDialog, ShowsOneRowPerCertificateInSearchOrder)
{
    MakeToken(0, {petrov, ivanov});
    MakeToken(1, {sidorova});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    ASSERT_EQ(3, RowCount(listView));
    const MintedCertificate *expected[] = {&petrov, &ivanov, &sidorova};
    for (int row = 0; row < 3; ++row) {
        CertRecord record = certList.get(row);
        EXPECT_EQ(expected[row]->name, CellText(listView, row, 0));
        EXPECT_EQ(L"Kestrava Test CA", CellText(listView, row, 1));
        EXPECT_EQ(record.validFromText, CellText(listView, row, 2));
        EXPECT_EQ(record.validToText, CellText(listView, row, 3));
        EXPECT_EQ(19u, CellText(listView, row, 3).size()) << "dd.mm.yyyy hh:mm:ss";
        EXPECT_EQ(0, RowImage(listView, row));
    }
    HIMAGELIST images = (HIMAGELIST)SendMessageW(listView, LVM_GETIMAGELIST, LVSIL_SMALL, 0);
    ASSERT_TRUE(images);
    EXPECT_EQ(1, ImageList_GetImageCount(images));

    HWND header = (HWND)SendMessageW(listView, LVM_GETHEADER, 0, 0);
    ASSERT_EQ(4, (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    const wchar_t *titles[] = {L"Имя", L"Издатель", L"Действителен с", L"Действителен по"};
    RECT client;
    GetClientRect(listView, &client);
    int width = (int)SendMessageW(listView, LVM_GETCOLUMNWIDTH, 0, 0);
    for (int column = 0; column < 4; ++column) {
        wchar_t title[64] = L"";
        LVCOLUMNW info = {};
        info.mask = LVCF_TEXT;
        info.pszText = title;
        info.cchTextMax = 64;
        SendMessageW(listView, LVM_GETCOLUMNW, column, (LPARAM)&info);
        EXPECT_STREQ(titles[column], title);
        EXPECT_EQ(width, (int)SendMessageW(listView, LVM_GETCOLUMNWIDTH, column, 0)) << "column " << column;
    }
    EXPECT_EQ(client.right / 4, width);
    EXPECT_TRUE(SendMessageW(listView, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
    MarkRow(listView, 1);
    SaveScreenshot("cert-list-dialog");
    ClickButton(dialog, IDCANCEL);
    ASSERT_TRUE(list->WaitEnded());
}

TEST_F(CertListDialog, EnterInTheListChoosesTheMarkedRow)
{
    MakeToken(0, {ivanov, petrov, sidorova});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    // "Выбрать" is a plain button; Enter reaches it as IDOK all the same.
    EXPECT_EQ(BS_PUSHBUTTON, GetWindowLongW(GetDlgItem(dialog, IDOK), GWL_STYLE) & BS_TYPEMASK);
    MarkRow(listView, 1);
    PostMessageW(listView, WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(list->WaitEnded());
    EXPECT_EQ(IDOK, list->Result());
    EXPECT_EQ(1, selectedIndex);
}

TEST_F(CertListDialog, ChoosingWithNoRowMarkedIsNoChoice)
{
    MakeToken(0, {ivanov, petrov});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    ClickButton(dialog, IDOK);
    ASSERT_TRUE(list->WaitEnded());
    EXPECT_EQ(IDOK, list->Result());
    EXPECT_EQ(-1, selectedIndex);
}

TEST_F(CertListDialog, CancelLeavesNoChoice)
{
    MakeToken(0, {ivanov, petrov});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    MarkRow(listView, 1);
    ClickButton(dialog, IDCANCEL);
    ASSERT_TRUE(list->WaitEnded());
    EXPECT_EQ(IDCANCEL, list->Result());
    EXPECT_EQ(-1, selectedIndex);
}

TEST_F(CertListDialog, TheCloseBoxLeavesNoChoice)
{
    MakeToken(0, {ivanov, petrov});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    MarkRow(listView, 0);
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(list->WaitEnded());
    EXPECT_EQ(IDCANCEL, list->Result());
    EXPECT_EQ(-1, selectedIndex);
}

TEST_F(CertListDialog, RefreshAfterATokenWasRemovedDropsItsRows)
{
    MakeToken(0, {ivanov});
    MakeToken(1, {petrov, sidorova});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    ASSERT_EQ(3, RowCount(listView));
    MarkRow(listView, 2);
    Tool({"present", "1", "no"});
    ClickButton(dialog, IDC_CERT_REFRESH);
    HWND search = WaitForWindow(searchCaption);
    ASSERT_TRUE(search) << "no search behind \"Обновить\"";
    EXPECT_EQ(dialog, GetWindow(search, GW_OWNER));
    ASSERT_TRUE(WaitForWindowGone(search, 15000));
    ASSERT_EQ(1, WaitRowCount(listView, 1));
    EXPECT_EQ(ivanov.name, CellText(listView, 0, 0));
    EXPECT_EQ(-1, selectedIndex);
    // The old mark names no record any more.
    ClickButton(dialog, IDOK);
    ASSERT_TRUE(list->WaitEnded());
    EXPECT_EQ(-1, selectedIndex);
    ExpectNoSessionLeftOpen();
}

TEST_F(CertListDialog, ViewShowsTheMarkedCertificate)
{
    MakeToken(0, {ivanov, petrov});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    MarkRow(listView, 1);
    ClickButton(dialog, IDC_CERT_VIEW);
    HWND viewer = WaitForWindow(viewerCaption);
    ASSERT_TRUE(viewer);
    std::wstring shown = AllText(viewer);
    EXPECT_NE(std::wstring::npos, shown.find(L"Кому выдан: " + petrov.name)) << Narrow(shown);
    SaveScreenshot("cert-list-viewer");
    PostMessageW(viewer, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(viewer));
    EXPECT_TRUE(IsWindowVisible(dialog)) << "the list stays open";
    ClickButton(dialog, IDCANCEL);
    ASSERT_TRUE(list->WaitEnded());
}

TEST_F(CertListDialog, ViewWithNoRowMarkedShowsTheFirstCertificate)
{
    MakeToken(0, {sidorova, ivanov});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    ClickButton(dialog, IDC_CERT_VIEW);
    HWND viewer = WaitForWindow(viewerCaption);
    ASSERT_TRUE(viewer);
    std::wstring shown = AllText(viewer);
    EXPECT_NE(std::wstring::npos, shown.find(L"Кому выдан: " + sidorova.name)) << Narrow(shown);
    PostMessageW(viewer, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(viewer));
    ClickButton(dialog, IDCANCEL);
    ASSERT_TRUE(list->WaitEnded());
}

TEST_F(CertListDialog, ViewOnAnEmptyListDoesNothing)
{
    MakeToken(0, {ivanov});
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    MarkRow(listView, 0);
    Tool({"present", "0", "no"});
    ClickButton(dialog, IDC_CERT_REFRESH);
    HWND search = WaitForWindow(searchCaption);
    ASSERT_TRUE(search);
    ASSERT_TRUE(WaitForWindowGone(search, 15000));
    ASSERT_EQ(0, WaitRowCount(listView, 0));
    ClickButton(dialog, IDC_CERT_VIEW);
    EXPECT_EQ(nullptr, WaitForWindow(viewerCaption, nullptr, 1500)) << "nothing to show";
    // The dialog still answers, and the choice is none.
    ClickButton(dialog, IDOK);
    ASSERT_TRUE(list->WaitEnded());
    EXPECT_EQ(-1, selectedIndex);
}

TEST_F(CertListDialog, ViewOnAValueThatIsNotACertificateSaysSo)
{
    MakeToken(0, {ivanov});
    AddCertificateObject(0, "EE", "not a certificate at all");
    HWND dialog = OpenList();
    ASSERT_TRUE(dialog);
    ASSERT_EQ(2, RowCount(listView));
    EXPECT_EQ(L"", CellText(listView, 1, 0));
    EXPECT_EQ(L"", CellText(listView, 1, 3));
    MarkRow(listView, 1);
    ClickButton(dialog, IDC_CERT_VIEW);
    HWND box = WaitForWindow(L"Внимание");
    ASSERT_TRUE(box);
    EXPECT_EQ(L"Этот объект носителя не удалось прочитать как сертификат.\nПоказать его нельзя.",
              MessageBoxText(box));
    ClickButton(box, IDOK);
    ASSERT_TRUE(WaitForWindowGone(box));
    // The good certificate can still be viewed.
    MarkRow(listView, 0);
    ClickButton(dialog, IDC_CERT_VIEW);
    HWND viewer = WaitForWindow(viewerCaption);
    ASSERT_TRUE(viewer);
    EXPECT_NE(std::wstring::npos, AllText(viewer).find(L"Кому выдан: " + ivanov.name));
    PostMessageW(viewer, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(viewer));
    ClickButton(dialog, IDCANCEL);
    ASSERT_TRUE(list->WaitEnded());
}
