// korvalin.exe end to end, through its real windows: the form and frame as built, and a whole
// session against the simulated tester behind a COM port of the Wine prefix.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "GuiDriver.h"
#include "SimLine.h"
#include "korv_version.h"

namespace korv::test {
namespace {

// Ids of the program's windows and commands (its resource script has them too).
constexpr int kLabel = 1014;
constexpr int kCombo = 1001;
constexpr int kButton = 1010;
constexpr int kTerminal = 1013;
constexpr int kProgress = 1020;
constexpr int kProgressText = 1021;
constexpr UINT kExit = 57665;
constexpr UINT kAbout = 57664;
constexpr UINT kFileNew = 57600;
constexpr UINT kFileOpen = 57601;

const wchar_t kFrameClass[] = L"KorvalinFrame";
const wchar_t kDialogClass[] = L"#32770";
const wchar_t kMenuClass[] = L"#32768";
const wchar_t kFileDialogTitle[] = L"Select software update file...";

// The program's main window and the controls of its form.
struct Panel {
    HWND frame = nullptr;
    HWND form = nullptr;
    HWND label = nullptr;
    HWND combo = nullptr;
    HWND button = nullptr;
    HWND terminal = nullptr;
    HWND progress = nullptr;
    HWND progressText = nullptr;

    bool Find(const GuiProgram& program) {
        frame = program.WaitTop(kFrameClass, nullptr);
        form = frame != nullptr ? FindWindowExW(frame, nullptr, kDialogClass, nullptr) : nullptr;
        if (form == nullptr) {
            return false;
        }
        label = GetDlgItem(form, kLabel);
        combo = GetDlgItem(form, kCombo);
        button = GetDlgItem(form, kButton);
        terminal = GetDlgItem(form, kTerminal);
        progress = GetDlgItem(form, kProgress);
        progressText = GetDlgItem(form, kProgressText);
        return label && combo && button && terminal && progress && progressText;
    }
    std::wstring Screen() const { return Text(terminal); }
    // Whether Exit, the first command on the menu bar, is drawn in the menu's text colour or
    // greyed. The menu itself cannot be read from another process here; its pixels can.
    bool ExitDrawnEnabled() const {
        RECT window{};
        GetWindowRect(frame, &window);
        POINT client{0, 0};
        ClientToScreen(frame, &client);
        const int barHeight = GetSystemMetrics(SM_CYMENU);
        const RECT exit{client.x + 2, client.y - barHeight, client.x + 30, client.y - 1};
        return DarkPixels(exit) > 0;
    }
    bool ButtonReads(const std::wstring& text) const {
        return IsWindowVisible(button) && Text(button) == text;
    }
    // Everything the operator sees of the panel, for failure messages.
    std::string Describe() const {
        return "button '" + Narrow(Text(button)) + "'" +
               (IsWindowVisible(button) ? "" : " hidden") + ", port '" + Narrow(Text(combo)) + "'" +
               (IsWindowEnabled(combo) ? "" : " disabled") + ", progress '" +
               Narrow(Text(progressText)) + "'\nscreen:\n" + Narrow(Screen());
    }
};

// A rectangle of a child in its parent's client coordinates.
RECT ChildRect(HWND child) {
    RECT rc{};
    GetWindowRect(child, &rc);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

std::string Show(const RECT& rc) {
    return std::to_string(rc.left) + "," + std::to_string(rc.top) + " " +
           std::to_string(rc.right - rc.left) + "x" + std::to_string(rc.bottom - rc.top);
}

bool Same(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The form's template, created from the program's own resources in this process, so that
// MapDialogRect turns dialog units into pixels exactly as the program's dialog manager did.
class TemplateForm {
  public:
    TemplateForm() {
        m_module = LoadLibraryExW(DesktopExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        // The terminal's class belongs to the program; a stand-in lets the template be created.
        WNDCLASSW wc{};
        wc.style = CS_GLOBALCLASS;
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = L"CKorvTermWidget";
        RegisterClassW(&wc);
        if (m_module != nullptr) {
            // The form is a child window: it needs a parent, which stays hidden.
            m_parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                       nullptr, nullptr);
            const HRSRC res =
                FindResourceW(m_module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
            const HGLOBAL data = res != nullptr ? LoadResource(m_module, res) : nullptr;
            if (data != nullptr) {
                m_hwnd = CreateDialogIndirectParamW(
                    GetModuleHandleW(nullptr), static_cast<const DLGTEMPLATE*>(LockResource(data)),
                    m_parent, &Proc, 0);
            }
            m_menu = LoadMenuW(m_module, MAKEINTRESOURCEW(128));
        }
    }
    ~TemplateForm() {
        if (m_hwnd != nullptr) {
            DestroyWindow(m_hwnd);
        }
        if (m_parent != nullptr) {
            DestroyWindow(m_parent);
        }
        if (m_menu != nullptr) {
            DestroyMenu(m_menu);
        }
        if (m_module != nullptr) {
            FreeLibrary(m_module);
        }
    }
    HWND Handle() const { return m_hwnd; }
    HMENU Menu() const { return m_menu; }
    // As the dialog manager places a control: position and size each mapped on their own.
    RECT Map(int x, int y, int cx, int cy) const {
        RECT rc{x, y, cx, cy};
        MapDialogRect(m_hwnd, &rc);
        return RECT{rc.left, rc.top, rc.left + rc.right, rc.top + rc.bottom};
    }

  private:
    static INT_PTR CALLBACK Proc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
    HMODULE m_module = nullptr;
    HWND m_hwnd = nullptr;
    HMENU m_menu = nullptr;
    HWND m_parent = nullptr;
};

// A dialog template's style and font face, read from the program's resources (DLGTEMPLATEEX).
struct TemplateFont {
    DWORD style = 0;
    std::wstring face;
};

TemplateFont ReadTemplateFont(HMODULE module, int id) {
    const HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    const HGLOBAL data = res != nullptr ? LoadResource(module, res) : nullptr;
    const auto* p = data != nullptr ? static_cast<const WORD*>(LockResource(data)) : nullptr;
    if (p == nullptr || p[0] != 1 || p[1] != 0xFFFF) {
        return {};
    }
    TemplateFont font;
    font.style = p[6] | (static_cast<DWORD>(p[7]) << 16);
    p += 13;  // version, signature, help id, extended style, style, item count, x, y, cx, cy
    auto skipNameOrOrdinal = [&p] {
        if (*p == 0xFFFF) {
            p += 2;
            return;
        }
        while (*p != 0) {
            ++p;
        }
        ++p;
    };
    skipNameOrOrdinal();  // menu
    skipNameOrOrdinal();  // class
    skipNameOrOrdinal();  // caption
    if ((font.style & DS_SETFONT) != 0) {
        p += 3;  // point size, weight, italic and character set
        font.face = reinterpret_cast<const wchar_t*>(p);
    }
    return font;
}

void RememberPort(const std::string& port) {
    const std::wstring value = Widen(port);
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\QUENDAL\\KORVALIN\\SETTINGS", L"COMMPORT",
                    REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring RememberedPort() {
    wchar_t value[64] = L"";
    DWORD size = sizeof value;
    RegGetValueW(HKEY_CURRENT_USER, L"Software\\QUENDAL\\KORVALIN\\SETTINGS", L"COMMPORT",
                 RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

TEST(WinGuiTest, FormAndFrameAreAsTheTemplatesSay) {
    // Nothing answers on this port: the open fails with a message, and the panel offers a retry.
    GuiProgram program(DesktopExe(), L"--port COM9");
    ASSERT_TRUE(program.Started());
    const std::wstring message = DismissMessageBox(program);
    EXPECT_TRUE(Contains(message, L"COM9")) << Narrow(message);
    Panel panel;
    ASSERT_TRUE(panel.Find(program));
    ASSERT_TRUE(WaitUntil([&] { return panel.ButtonReads(L"Retry Opening COMM Port"); }))
        << panel.Describe();
    EXPECT_TRUE(
        Contains(panel.Screen(), L"Cannot perform software update - COMM port is not open."))
        << panel.Describe();

    // The port choice is read again from the system when its list drops down, and keeps the
    // port given on the command line, which the system does not list.
    EXPECT_EQ(Text(panel.combo), L"COM9");
    const LRESULT listed = SendMessageW(panel.combo, CB_GETCOUNT, 0, 0);
    SendMessageW(panel.combo, CB_RESETCONTENT, 0, 0);
    PostMessageW(panel.form, WM_COMMAND, MAKEWPARAM(kCombo, CBN_DROPDOWN),
                 reinterpret_cast<LPARAM>(panel.combo));
    EXPECT_TRUE(WaitUntil([&] { return SendMessageW(panel.combo, CB_GETCOUNT, 0, 0) == listed; }))
        << SendMessageW(panel.combo, CB_GETCOUNT, 0, 0) << " of " << listed;
    EXPECT_NE(SendMessageW(panel.combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(L"COM9")),
              CB_ERR);

    // Caption, system menu and minimise box; no sizing border, no maximise box.
    EXPECT_EQ(Text(panel.frame), L"KORVALIN");
    const LONG style = GetWindowLongW(panel.frame, GWL_STYLE);
    EXPECT_EQ(style & WS_THICKFRAME, 0);
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_NE(style & WS_SYSMENU, 0);
    // The menu bar as the resources give it (menus cannot be read across processes here; the
    // session test checks what Exit does).
    TemplateForm reference;
    ASSERT_NE(reference.Handle(), nullptr);
    const HMENU menu = reference.Menu();
    ASSERT_NE(menu, nullptr);
    wchar_t item[64];
    ASSERT_EQ(GetMenuItemCount(menu), 2);
    GetMenuStringW(menu, 0, item, 64, MF_BYPOSITION);
    EXPECT_STREQ(item, L"E&xit");
    EXPECT_EQ(GetMenuItemID(menu, 0), kExit);
    GetMenuStringW(menu, 1, item, 64, MF_BYPOSITION);
    EXPECT_STREQ(item, L"&About...");
    EXPECT_EQ(GetMenuItemID(menu, 1), kAbout);
    EXPECT_NE(GetMenu(panel.frame), nullptr);

    // Every control where its dialog-unit rectangle maps to, and the frame fits the form.
    const RECT form = reference.Map(0, 0, 372, 214);
    RECT client{};
    GetClientRect(panel.frame, &client);
    EXPECT_TRUE(Same(client, form)) << Show(client) << " vs " << Show(form);
    EXPECT_TRUE(Same(ChildRect(panel.form), form)) << Show(ChildRect(panel.form));
    struct Expected {
        HWND control;
        RECT rect;
    };
    const RECT combo = reference.Map(47, 3, 64, 137);
    // The label keeps its place by the port choice; it may reach into the margin on its left
    // when the dialog font is wider than the one the form was drawn for.
    const RECT label = reference.Map(3, 5, 39, 8);
    const RECT labelNow = ChildRect(panel.label);
    EXPECT_TRUE(labelNow.right == label.right && labelNow.top == label.top &&
                labelNow.bottom == label.bottom && labelNow.left <= label.left &&
                labelNow.left >= 0)
        << Show(labelNow) << " vs " << Show(label);
    for (const Expected& e : {Expected{panel.button, reference.Map(120, 3, 136, 14)},
                              Expected{panel.terminal, reference.Map(0, 21, 371, 193)}}) {
        EXPECT_TRUE(Same(ChildRect(e.control), e.rect))
            << GetDlgCtrlID(e.control) << ": " << Show(ChildRect(e.control)) << " vs "
            << Show(e.rect);
    }
    // A combo box's window is its closed height; the rectangle's height is its dropped list's.
    const RECT closed = ChildRect(panel.combo);
    EXPECT_EQ(closed.left, combo.left);
    EXPECT_EQ(closed.top, combo.top);
    EXPECT_EQ(closed.right, combo.right);
    const RECT referenceCombo = ChildRect(GetDlgItem(reference.Handle(), kCombo));
    EXPECT_EQ(closed.bottom - closed.top, referenceCombo.bottom - referenceCombo.top);

    // The template's styles and the terminal's border.
    EXPECT_EQ(GetWindowLongW(panel.combo, GWL_STYLE) & (CBS_DROPDOWNLIST | CBS_SORT),
              CBS_DROPDOWNLIST);
    EXPECT_NE(GetWindowLongW(panel.label, GWL_STYLE) & SS_RIGHT, 0);
    EXPECT_NE(GetWindowLongW(panel.terminal, GWL_STYLE) & (WS_BORDER | WS_TABSTOP), 0);
    EXPECT_NE(GetWindowLongW(panel.terminal, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME, 0);
    wchar_t cls[64];
    GetClassNameW(panel.terminal, cls, 64);
    EXPECT_STREQ(cls, L"CKorvTermWidget");
    EXPECT_FALSE(IsWindowVisible(panel.progress));

    // Both dialogs use the shell's dialog font, which follows the system's and scales cleanly
    // at 150-200 %, never the bitmap font "MS Sans Serif".
    const HMODULE module = LoadLibraryExW(DesktopExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    for (const int id : {101 /* the form */, 100 /* About */}) {
        const TemplateFont font = ReadTemplateFont(module, id);
        EXPECT_EQ(font.style & DS_SHELLFONT, static_cast<DWORD>(DS_SHELLFONT)) << id;
        EXPECT_EQ(font.face, L"MS Shell Dlg") << id;
    }
    FreeLibrary(module);
    LOGFONTW used{};
    ASSERT_NE(
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(reference.Handle(), WM_GETFONT, 0, 0)),
                   sizeof used, &used),
        0);
    EXPECT_EQ(std::wstring(used.lfFaceName).rfind(L"MS Shell Dlg", 0), 0u)
        << Narrow(used.lfFaceName);

    // Closing with the port closed happens at once.
    PostMessageW(panel.frame, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
}

// The system's window colours, set for the programs started while this lives (a contrast
// theme: white text on black) and put back after.
class SystemColours {
  public:
    SystemColours(const wchar_t* window, const wchar_t* text) {
        for (const auto& [name, value] : {std::pair{L"Window", window}, {L"WindowText", text}}) {
            wchar_t old[64] = L"";
            DWORD size = sizeof old;
            const bool had = RegGetValueW(HKEY_CURRENT_USER, kKey, name, RRF_RT_REG_SZ, nullptr,
                                          old, &size) == ERROR_SUCCESS;
            m_saved.push_back({name, had, old});
            Set(name, value);
        }
    }
    ~SystemColours() {
        for (const Saved& s : m_saved) {
            if (s.had) {
                Set(s.name, s.value.c_str());
            } else {
                RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, s.name);
            }
        }
    }

  private:
    static constexpr const wchar_t* kKey = L"Control Panel\\Colors";
    struct Saved {
        const wchar_t* name;
        bool had;
        std::wstring value;
    };
    static void Set(const wchar_t* name, const wchar_t* value) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kKey, name, REG_SZ, value,
                        static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    }
    std::vector<Saved> m_saved;
};

// A contrast theme with a black window: the terminal pane's text is drawn in the system's text
// colour, not in a black that would vanish on it. (Wine reads the colours when a program starts;
// switching themes while the program runs, which the pane follows on WM_SYSCOLORCHANGE, only
// real Windows shows.)
TEST(WinGuiTest, TerminalPaneTextFollowsTheSystemsColours) {
    const SystemColours contrast(L"0 0 0", L"255 255 255");
    GuiProgram program(DesktopExe(), L"--port COM9");
    ASSERT_TRUE(program.Started());
    DismissMessageBox(program);
    Panel panel;
    ASSERT_TRUE(panel.Find(program));
    ASSERT_TRUE(WaitUntil([&] { return Contains(panel.Screen(), L"COMM port is not open."); }))
        << panel.Describe();
    RECT pane{};
    GetClientRect(panel.terminal, &pane);
    MapWindowPoints(panel.terminal, nullptr, reinterpret_cast<POINT*>(&pane), 2);
    // The pane's background is the theme's black, and its text shows on it in white.
    EXPECT_TRUE(WaitUntil([&] { return BrightPixels(pane) > 50; }))
        << BrightPixels(pane) << " light pixels of text";
    const int area = (pane.right - pane.left) * (pane.bottom - pane.top);
    EXPECT_GT(DarkPixels(pane), area / 2);
    // Told that the colours changed, the pane draws itself again, the same way.
    PostMessageW(panel.frame, WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return BrightPixels(pane) > 50; }));
    PostMessageW(panel.frame, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
}

// A network port's name is longer than the box: the list drops down as wide as the name.
TEST(WinGuiTest, LongNetworkPortNameDropsDownWhole) {
    const std::wstring name = L"rfc2217://127.0.0.1:1";  // nothing listens: the open fails
    GuiProgram program(DesktopExe(), L"--port " + name);
    ASSERT_TRUE(program.Started());
    DismissMessageBox(program);
    Panel panel;
    ASSERT_TRUE(panel.Find(program));
    PostMessageW(panel.form, WM_COMMAND, MAKEWPARAM(kCombo, CBN_DROPDOWN),
                 reinterpret_cast<LPARAM>(panel.combo));
    RECT box{};
    GetWindowRect(panel.combo, &box);
    HDC dc = GetDC(panel.combo);
    SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(panel.combo, WM_GETFONT, 0, 0)));
    SIZE text{};
    GetTextExtentPoint32W(dc, name.c_str(), static_cast<int>(name.size()), &text);
    ReleaseDC(panel.combo, dc);
    ASSERT_GT(text.cx, box.right - box.left) << "the name fits the box: no test";
    EXPECT_TRUE(WaitUntil([&] {
        return SendMessageW(panel.combo, CB_GETDROPPEDWIDTH, 0, 0) > text.cx;
    })) << SendMessageW(panel.combo, CB_GETDROPPEDWIDTH, 0, 0)
        << " for a name of " << text.cx;
}

TEST(WinGuiTest, SessionAgainstTheSimulatedTester) {
    // Two updates: the first goes whole; the second prompt's dialog is cancelled, "Send Another"
    // sends a file many times the size of the line's buffers, and it is aborted on the way.
    // The simulator stays on the line after its last update, until the test ends.
    // The tester prompts 3 s after it has seen the line set up: time enough, on a busy machine,
    // to look at the panel before the prompt changes it.
    SimLine sim({"--rate", "20000", "--repeat", "2", "--between-ms", "300", "--linger-ms", "600000",
                 "--delay-ms", "3000", "--save", "{dir}/got"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    const TempFile first(L"first.txt", UpdateBytes(60000));
    const TempFile second(L"second.txt", UpdateBytes(600000));
    RememberPort(sim.Port());

    // Start-up opens the remembered port and prints the instructions.
    GuiProgram program(DesktopExe(), L"");
    ASSERT_TRUE(program.Started());
    Panel panel;
    ASSERT_TRUE(panel.Find(program));
    ASSERT_TRUE(sim.WaitEvent("OPENED")) << sim.Transcript();
    EXPECT_TRUE(WaitUntil([&] {
        return Contains(panel.Screen(), L"Ready to perform a tester software update:");
    })) << panel.Describe();
    EXPECT_EQ(Narrow(Text(panel.combo)), sim.Port());
    EXPECT_FALSE(IsWindowVisible(panel.button)) << "no button while waiting for the tester\n"
                                                << panel.Describe();
    EXPECT_TRUE(panel.ExitDrawnEnabled());

    // The prompt opens the file dialog; the chosen file streams with the window locked.
    ASSERT_TRUE(sim.WaitEvent("PROMPT")) << sim.Transcript();
    HWND dialog = program.WaitTop(kDialogClass, kFileDialogTitle);
    ASSERT_NE(dialog, nullptr) << panel.Describe();
    ASSERT_TRUE(ChooseFile(dialog, first.Path())) << Narrow(ChildIds(dialog));
    ASSERT_TRUE(WaitUntil([&] { return panel.ButtonReads(L"Abort Software Update"); }))
        << panel.Describe();
    EXPECT_FALSE(IsWindowEnabled(panel.combo));
    EXPECT_FALSE(IsWindowEnabled(panel.label));
    EXPECT_TRUE(WaitUntil([&] { return !panel.ExitDrawnEnabled(); }, 10s)) << "Exit is greyed";
    EXPECT_TRUE(Contains(panel.Screen(), L"Sending file '" + first.Path() + L"'."))
        << panel.Describe();
    EXPECT_TRUE(IsWindowVisible(panel.progress));
    EXPECT_TRUE(Contains(Text(panel.progressText), L" of 58.6 KiB")) << panel.Describe();

    // Every way of closing is refused while sending. The About box, asked for behind them, shows
    // once they have all been handled.
    DWORD_PTR answer = 1;
    SendMessageTimeoutW(panel.frame, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer);
    EXPECT_EQ(answer, 0u) << "logging off waits for the transfer";
    PostMessageW(panel.frame, WM_CLOSE, 0, 0);
    PostMessageW(panel.frame, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box, Alt+F4
    PostMessageW(panel.frame, WM_COMMAND, kExit, 0);
    PostMessageW(panel.frame, WM_COMMAND, kFileNew, 0);   // Ctrl+N and Ctrl+O would reopen
    PostMessageW(panel.frame, WM_COMMAND, kFileOpen, 0);  // the port: refused as well
    PostMessageW(panel.terminal, WM_RBUTTONUP, 0, MAKELPARAM(40, 40));  // no popup while sending
    PostMessageW(panel.frame, WM_COMMAND, kAbout, 0);
    const HWND about = program.WaitTop(kDialogClass, L"About KORVALIN");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(IsWindow(panel.frame));
    EXPECT_EQ(program.WaitExit(0ms), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(program.FindTop(kMenuClass, nullptr), nullptr);
    EXPECT_EQ(program.FindTop(kDialogClass, L"Open"), nullptr);
    EXPECT_TRUE(panel.ButtonReads(L"Abort Software Update")) << panel.Describe();
    EXPECT_TRUE(Contains(panel.Screen(), L"Sending file '" + first.Path() + L"'."))
        << "the terminal was not cleared by a reopened port\n"
        << panel.Describe();
    const std::wstring aboutText = StaticTexts(about);
    EXPECT_TRUE(Contains(aboutText, L"KORVALIN Version 1.0\n")) << Narrow(aboutText);
    EXPECT_TRUE(Contains(aboutText, L"Copyright")) << Narrow(aboutText);
    bool hasIcon = false;
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        hasIcon = hasIcon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
    }
    EXPECT_TRUE(hasIcon);
    Click(GetDlgItem(about, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }));

    // Moved to a monitor with another DPI mid-transfer (the notices before and after the frame
    // has been scaled, and the size between): the terminal still shows what it showed.
    RECT client{};
    GetClientRect(panel.terminal, &client);
    SendMessageW(panel.terminal, 0x02E2, 0, 0);  // WM_DPICHANGED_BEFOREPARENT
    SendMessageW(panel.terminal, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    SendMessageW(panel.terminal, 0x02E3, 0, 0);  // WM_DPICHANGED_AFTERPARENT
    EXPECT_TRUE(Contains(panel.Screen(), L"Sending file '" + first.Path() + L"'."))
        << "a change of DPI blanked the terminal\n"
        << panel.Describe();

    // The whole file arrives unchanged; the panel says so and unlocks.
    const auto received = sim.WaitEvent("RECEIVED", 120s);
    ASSERT_TRUE(received) << sim.Transcript();
    EXPECT_EQ(sim.ReadBack("got"), first.Content()) << *received;
    ASSERT_TRUE(WaitUntil([&] { return panel.ButtonReads(L"Send Another Software Update File"); }))
        << panel.Describe();
    EXPECT_TRUE(IsWindowEnabled(panel.combo));
    EXPECT_TRUE(WaitUntil([&] { return panel.ExitDrawnEnabled(); }, 10s));
    EXPECT_EQ(Narrow(Text(panel.progressText)).rfind("Sent 58.6 KiB in 0:", 0), 0u)
        << panel.Describe();

    // The tester asks again; this time the operator cancels, then sends with "Send Another".
    ASSERT_TRUE(sim.WaitEvent("PROMPT")) << sim.Transcript();
    dialog = program.WaitTop(kDialogClass, kFileDialogTitle);
    ASSERT_NE(dialog, nullptr);
    Cancel(dialog);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
    EXPECT_TRUE(panel.ButtonReads(L"Send Another Software Update File")) << panel.Describe();
    Click(panel.button);
    dialog = program.WaitTop(kDialogClass, kFileDialogTitle);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(ChooseFile(dialog, second.Path())) << Narrow(ChildIds(dialog));
    ASSERT_TRUE(WaitUntil([&] { return panel.ButtonReads(L"Abort Software Update"); }))
        << panel.Describe();
    ASSERT_TRUE(sim.WaitEvent("RECEIVING")) << sim.Transcript();
    // Once the line has shown a steady rate, the progress text estimates the time left.
    EXPECT_TRUE(WaitUntil([&] { return Contains(Text(panel.progressText), L" left"); }, 20s))
        << panel.Describe();
    if (const char* shot = std::getenv("KORV_SCREENSHOT"); shot != nullptr && *shot != '\0') {
        EXPECT_TRUE(CaptureWindow(panel.frame, DosPath(shot)));
    }

    // Abort: the transfer stops part way and the panel offers the next one.
    Click(panel.button);
    ASSERT_TRUE(WaitUntil([&] { return panel.ButtonReads(L"Send Another Software Update File"); }))
        << panel.Describe();
    EXPECT_EQ(Narrow(Text(panel.progressText)).rfind("Aborted at ", 0), 0u) << panel.Describe();
    const auto partial = sim.WaitEvent("RECEIVED", 120s);
    ASSERT_TRUE(partial) << sim.Transcript();
    unsigned long long got = 0;
    ASSERT_EQ(std::sscanf(partial->c_str(), "RECEIVED %llu", &got), 1) << *partial;
    EXPECT_LT(got, second.Content().size());

    // The terminal's popup menu, after a transfer: dismissed, it does nothing; its one command
    // asks for a file.
    PostMessageW(panel.terminal, WM_RBUTTONUP, 0, MAKELPARAM(40, 40));
    HWND popup = program.WaitTop(kMenuClass, nullptr, 10s);
    ASSERT_NE(popup, nullptr) << "popup menu after a transfer";
    PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(WaitUntil([&] { return program.FindTop(kMenuClass, nullptr) == nullptr; }));
    PostMessageW(panel.terminal, WM_RBUTTONUP, 0, MAKELPARAM(40, 40));
    popup = program.WaitTop(kMenuClass, nullptr, 10s);
    ASSERT_NE(popup, nullptr);
    PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 0);
    dialog = program.WaitTop(kDialogClass, kFileDialogTitle);
    ASSERT_NE(dialog, nullptr) << "Send update file now asks for a file";
    Cancel(dialog);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));

    // Choosing a port remembers it at once (nothing answers there: the open fails with a message).
    const std::wstring other = sim.Port() == "COM8" ? L"COM7" : L"COM8";
    const LRESULT index = SendMessageW(panel.combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(other.c_str()));
    if (index != CB_ERR) {
        SendMessageW(panel.combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        PostMessageW(panel.form, WM_COMMAND, MAKEWPARAM(kCombo, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(panel.combo));
        EXPECT_TRUE(Contains(DismissMessageBox(program), other));
        EXPECT_TRUE(WaitUntil([&] { return panel.ButtonReads(L"Retry Opening COMM Port"); }))
            << panel.Describe();
        EXPECT_EQ(RememberedPort(), other);
    } else {
        ADD_FAILURE() << "the port list does not offer " << Narrow(other);
    }

    // Exit ends the program.
    PostMessageW(panel.frame, WM_COMMAND, kExit, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
}

// The console program sets the console's output code page for its own text; the console serves
// whatever runs in it next, and has its own back when the program ends.
TEST(WinGuiTest, ConsoleProgramPutsBackTheConsoleCodePage) {
    // A console window of the test's own, which the program shares.
    ::FreeConsole();
    ASSERT_TRUE(::AllocConsole()) << GetLastError();
    ASSERT_TRUE(::SetConsoleOutputCP(850)) << GetLastError();
    {
        GuiProgram program(DosPath(KORVALIN_CONSOLE_EXE), L"--help");
        ASSERT_TRUE(program.Started());
        EXPECT_EQ(program.WaitExit(60s), 0u);
    }
    EXPECT_EQ(::GetConsoleOutputCP(), 850u);
    ::FreeConsole();
}

// A value of the program's version block (US English, Unicode), or empty.
std::wstring VersionValue(const std::wstring& exe, const std::wstring& name) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    std::vector<char> block(size);
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904b0\\" + name;
    if (size == 0 || !GetFileVersionInfoW(exe.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), path.c_str(), &value, &length) || length == 0) {
        return {};
    }
    return static_cast<const wchar_t*>(value);
}

// The version of the block's fixed part, "major.minor.patch.build", or empty.
std::string FixedVersion(const std::wstring& exe) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    std::vector<char> block(size);
    void* value = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(exe.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", &value, &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionLS));
}

// The manifest the loader reads when the program starts, or empty.
std::string Manifest(const std::wstring& exe) {
    const HMODULE module = LoadLibraryExW(
        exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return {};
    }
    std::string text;
    if (const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        if (const HGLOBAL loaded = LoadResource(module, found)) {
            text.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, found));
        }
    }
    FreeLibrary(module);
    return text;
}

// Both programs say who made them and which version they are (Explorer's Properties > Details,
// the installer's file versions), and what the loader is to give them.
TEST(WinGuiTest, BothProgramsCarryAVersionBlockAndAManifest) {
    const std::string version = std::to_string(KORV_VERSION_MAJOR) + "." +
                                std::to_string(KORV_VERSION_MINOR) + "." +
                                std::to_string(KORV_VERSION_PATCH) + ".0";
    const std::wstring desktop = DosPath(KORVALIN_EXE);
    const std::wstring console = DosPath(KORVALIN_CONSOLE_EXE);
    for (const std::wstring& exe : {desktop, console}) {
        SCOPED_TRACE(Narrow(exe));
        EXPECT_EQ(FixedVersion(exe), version);
        EXPECT_EQ(VersionValue(exe, L"ProductVersion"), Widen(KORV_VERSION_RC_TEXT));
        EXPECT_EQ(VersionValue(exe, L"FileVersion"), Widen(KORV_VERSION_RC_TEXT));
        EXPECT_EQ(VersionValue(exe, L"CompanyName"), L"QUENDAL Instruments Ltd.");
        const std::string manifest = Manifest(exe);
        EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos) << manifest;
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
        // Windows 10 and 11: without it they run the program as for Windows 8.
        EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
    }
    EXPECT_EQ(VersionValue(console, L"FileDescription"), L"KORVALIN Console");
    EXPECT_EQ(VersionValue(console, L"OriginalFilename"), L"KORVALIN-CONSOLE.EXE");
    EXPECT_NE(Manifest(console).find(">UTF-8</activeCodePage>"), std::string::npos);
    EXPECT_EQ(VersionValue(desktop, L"OriginalFilename"), L"KORVALIN.EXE");
    EXPECT_NE(Manifest(desktop).find("Microsoft.Windows.Common-Controls"), std::string::npos);
    // The installer gives the Start menu a "KORVALIN Station" entry when this says so.
#ifdef KORV_STATION_WINDOW
    EXPECT_EQ(VersionValue(desktop, L"Features"), L"station");
#else
    EXPECT_EQ(VersionValue(desktop, L"Features"), L"");
#endif
    EXPECT_EQ(VersionValue(console, L"Features"), L"");
}

}  // namespace
}  // namespace korv::test
