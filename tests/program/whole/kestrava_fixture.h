// The real kestrava.exe under Wine, from process start, against stand-in
// tokens and the test renewal server: what the whole-program tests share.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/token_fixture.h"
#include "support/window_driver.h"

extern const wchar_t renewalCaption[];
extern const char holderPin[];
// The renewal dialog's seven detail fields, top to bottom.
extern const int detailIds[7];

// A local date and time in the zone the program runs in (UTC+3, no summer time).
struct LocalMoment {
    int year, month, day, hour, minute, second;
};

class KestravaFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Runs softtoken on the test's store and fails the test when it fails.
    void Tool(const std::vector<std::string> &arguments);

    // A token with the holder's key pair under idHex and a certificate for it
    // that ends at notAfter (local time of the program). Returns the serial.
    // notAfter and notBefore are testca's: Utc(moment), or "-2d" and the like.
    std::string MakeHolderToken(int slot, const std::string &idHex, const std::string &notAfter,
                                const std::string &notBefore = "-30d");
    // Another certificate (key pair included) on an existing token.
    std::string AddHolderCertificate(int slot, const std::string &idHex, const std::string &notAfter,
                                     const std::string &notBefore = "-30d");

    // Starts the renewal server on port 2000 with the given faults, for the
    // CA folder given (the suite's test CA when empty).
    void StartServer(const std::string &options = "", const std::string &folder = "");

    // Starts kestrava.exe; returns its renewal dialog once it has opened by
    // itself after the start-up picture (null on time-out).
    HWND StartKestrava(bool screenshots = false);

    // "Выбрать" in the renewal dialog; picks row (or presses "Отмена" when row
    // is -2, "Выбрать" with no row when -1) in the list. False when the list
    // did not come.
    bool Choose(HWND dialog, int row, const char *screenshot = nullptr);

    // Chooses an item of the notification-area menu with the mouse: the item
    // at position, or in its submenu the item at subPosition.
    bool ChooseTrayMenuItem(int position, int subPosition = -1);

    // "Продлить", then "Да" to the confirmation; returns the PIN dialog (null
    // when either did not come).
    HWND RenewAndConfirm(HWND dialog);

    // Waits for a message box of the program with this caption; returns it.
    HWND WaitForBox(const wchar_t *caption, int timeoutMs = 15000);
    // "Выход" from the notification-area menu, answered "Да": the question
    // is asked and the program ends with code 0.
    void ExitThroughMenu();

    // The seven detail fields of the renewal dialog, top to bottom.
    std::vector<std::wstring> Details(HWND dialog);
    bool RenewEnabled(HWND dialog);

    // The renewal dialogs of the program that are open.
    std::vector<HWND> RenewalDialogs();


    // The local time now and moments relative to it, in the program's zone.
    static LocalMoment Now();
    static LocalMoment MonthsFromNow(int months, int day, int hour, int minute = 0);
    static LocalMoment LastDayOfThisMonth(int hour);
    static std::wstring Text(const LocalMoment &moment);
    static std::string Utc(const LocalMoment &moment);

    static std::string caDir;
    // The INN of the holders that MakeHolderToken and AddHolderCertificate make.
    std::string holderInn = "007712345678";
    // An organisation whose INN stands only as INNLE (holderInn is then its
    // ten digits).
    bool holderInnle = false;
    // The subject of the next certificates, as testca's --rdn items, when
    // set; otherwise the organisation's of holderInn.
    std::vector<std::string> holderRdns;
    // The holder's key kind and parameter set, as softtoken keygen takes them.
    std::vector<std::string> holderKey;
    std::string work;
    TokenStore store;
    RunningProgram program;
    int serverPid = 0;
    std::string serverLog;
};
