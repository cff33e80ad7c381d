// kestrava.exe at the screen scales its users run, 100 %, 150 % and 200 %:
// the start-up picture, the renewal dialog with a chosen certificate, and
// the notification-area icon.
#include "program/whole/kestrava_fixture.h"

#include "res/resource.h"
#include "support/unix_command.h"

#include <algorithm>
#include <string>

namespace {

// Wine takes the scale from this value when a program starts. The lane's
// prefix is shared by the tests that run after this one: the value is put
// back as soon as the program has read it.
const wchar_t *const SCALE_KEY = L"Control Panel\\Desktop";
const wchar_t *const SCALE_VALUE = L"LogPixels";

struct Scale {
    int percent;
    DWORD dpi;
    SIZE picture;   // the start-up window: the 540 x 300 picture times the scale
    int smallIcon;  // the small-icon size of the scale
};

// Puts the scale (0: none, Wine's 96 DPI) and returns the one there was.
DWORD PutScale(DWORD dpi)
{
    HKEY key = nullptr;
    DWORD before = 0, size = sizeof before;
    RegCreateKeyExW(HKEY_CURRENT_USER, SCALE_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegQueryValueExW(key, SCALE_VALUE, nullptr, nullptr, (BYTE *)&before, &size);
    if (dpi)
        RegSetValueExW(key, SCALE_VALUE, 0, REG_DWORD, (const BYTE *)&dpi, sizeof dpi);
    else
        RegDeleteValueW(key, SCALE_VALUE);
    RegCloseKey(key);
    return before;
}

class ScreenScale : public KestravaFixture {
protected:
    void TearDown() override
    {
        KestravaFixture::TearDown();
        RestoreScale();
    }

    void RestoreScale()
    {
        if (changed)
            PutScale(before);
        changed = false;
    }

    bool changed = false;
    DWORD before = 0;
};

SIZE SizeOf(const RECT &rect)
{
    return {rect.right - rect.left, rect.bottom - rect.top};
}

TEST_F(ScreenScale, PictureDialogAndIconFollowTheScaleAndEveryTextFits)
{
    MakeHolderToken(0, "01", Utc(MonthsFromNow(1, 10, 12)));
    Scale const scales[] = {
            {100, 96, {540, 300}, 16},
            {150, 144, {810, 450}, 24},
            {200, 192, {1080, 600}, 32},
    };
    SIZE dialogAt100 = {};
    for (const Scale &scale : scales) {
        SCOPED_TRACE(std::to_string(scale.percent) + " %");
        std::string shot = "scale-" + std::to_string(scale.percent);
        TrayIconWatch trayIcons;
        ASSERT_TRUE(trayIcons.Watching());
        before = PutScale(scale.dpi);
        changed = true;
        program = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)},
                                                 {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)}});
        HWND splash = WaitForWindow(L"Kestrava", L"ZR51_KESTRAVA", 15000, program.processId);
        RestoreScale();
        ASSERT_TRUE(splash) << "no start-up picture";
        RECT frame;
        GetWindowRect(splash, &frame);
        EXPECT_EQ(scale.picture.cx, SizeOf(frame).cx);
        EXPECT_EQ(scale.picture.cy, SizeOf(frame).cy);
        EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - scale.picture.cx) / 2, frame.left);
        Sleep(300);  // let it paint
        SaveScreenshot(shot + "-start-up");

        HWND dialog = WaitForWindow(renewalCaption, L"#32770", 20000, program.processId);
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(Choose(dialog, 0));
        EXPECT_EQ(L"Иванов Иван Иванович", ControlText(dialog, IDC_FULL_NAME));
        RECT dialogRect;
        GetWindowRect(dialog, &dialogRect);
        SIZE dialogSize = SizeOf(dialogRect);
        if (scale.percent == 100)
            dialogAt100 = dialogSize;
        // Dialog units follow the font, whose glyphs round to whole pixels.
        EXPECT_GE(dialogSize.cx * 100, dialogAt100.cx * scale.percent * 9 / 10) << dialogSize.cx;
        EXPECT_GE(dialogSize.cy * 100, dialogAt100.cy * scale.percent * 9 / 10) << dialogSize.cy;
        std::vector<ControlProbeItem> controls = MeasureControls(dialog);
        EXPECT_EQ(ControlTexts(dialog).size(), controls.size()) << "every control measured";
        for (const ControlProbeItem &control : controls) {
            SCOPED_TRACE(control.text[0] ? Narrow(control.text) : "control " + std::to_string(control.id));
            EXPECT_LE(control.textExtent.cx, control.client.cx);
            EXPECT_LE(std::max(control.textExtent.cy, (LONG)control.lineHeight), control.client.cy);
        }
        SaveScreenshot(shot + "-renewal");

        TrayProbeReport handed = trayIcons.Seen();
        EXPECT_EQ(1, handed.icons);
        EXPECT_EQ(scale.smallIcon, handed.smallIconMetric) << "the system's small-icon size";
        EXPECT_EQ(handed.smallIconMetric, handed.lastIcon.cx);
        EXPECT_EQ(handed.smallIconMetric, handed.lastIcon.cy);
        ExitThroughMenu();
        KillProgram(program);
    }
}

}  // namespace
