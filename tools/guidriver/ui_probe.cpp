// Probe for the GUI tests under Wine. It carries the updater's resource
// script and an archive of its own, and runs one piece of the updater:
//
//   ui_probe resources UPDATER_EXE   check the executable's string table,
//                                    dialog templates, version record,
//                                    manifest and image type
//   ui_probe message ID CAPTION      ShowMessage(ID, CAPTION)
//   ui_probe extract                 RunExtraction; prints "result=N status=N
//                                    at_box=N path=P", the status when a
//                                    message box showed
//   ui_probe patch ARCHIVE DIR       RunPatch; prints "result=N status=N at_box=N",
//                                    the status when the outcome box showed
//   ui_probe waitprogress HEXTITLE   wait until that window's progress bar
//                                    has moved
//   ui_probe keyrights read|full     App Paths key readable only / fully
//   ui_probe codepage                this process's ANSI code page
//   ui_probe readbox HEXTITLE        describe the dialog or message box with
//                                    that title, which may belong to another
//                                    process
//
// Titles and texts pass as the hex of their UTF-8 bytes and are read from
// the windows as UTF-16 (WM_GETTEXT), so that what is checked is what the
// screen shows under any ANSI code page.
#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fileutil/path.h"
#include "payload/phase_state.h"
#include "res/resource.h"
#include "ui/messages.h"
#include "ui/phase_windows.h"

namespace {

constexpr WORD kJapanese = 0x0411;
int Failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) {
        ++Failures;
    }
}

// --- string table ---------------------------------------------------------

struct ExpectedString {
    UINT id;
    const char16_t* stored; // as the resource holds it
    const char* shiftJis;   // as LoadStringA gives it under code page 932
};

const ExpectedString kStrings[] = {
    {IDS_TEMPFILE_FAILED, u"テンポラリファイルの作成に失敗しました",
     "\x83\x65\x83\x93\x83\x7C\x83\x89\x83\x8A\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x8D\xEC"
     "\x90\xAC\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD"},
    {IDS_EXTRACT_FAILED, u"インストールファイルの抽出に失敗しました",
     "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC"
     "\x92\x8A\x8F\x6F\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD"},
    {IDS_NOT_INSTALLED, u"Varnelo をインストールしてください。",
     "Varnelo \x82\xF0\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xB5\x82\xC4\x82\xAD"
     "\x82\xBE\x82\xB3\x82\xA2\x81\x42"},
    {IDS_PATCH_FAILED, u"パッチの適用に失敗しました。\n再度CD-ROMからインストールしてください。",
     "\x83\x70\x83\x62\x83\x60\x82\xCC\x93\x4B\x97\x70\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC"
     "\x82\xB5\x82\xBD\x81\x42\x0A\x8D\xC4\x93\x78"
     "CD-ROM"
     "\x82\xA9\x82\xE7\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xB5\x82\xC4\x82\xAD"
     "\x82\xBE\x82\xB3\x82\xA2\x81\x42"},
    {IDS_UPDATE_DONE, u"アップデート完了しました。",
     "\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x8A\xAE\x97\xB9\x82\xB5\x82\xDC\x82\xB5"
     "\x82\xBD\x81\x42"},
};

size_t Length16(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

// The stored UTF-16 of one id: its block (ids 16 a block) under Japanese.
bool StoredString(HMODULE module, UINT id, std::u16string* out) {
    HRSRC found =
        FindResourceExA(module, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(id / 16 + 1), kJapanese);
    if (found == nullptr) {
        return false;
    }
    DWORD size = SizeofResource(module, found);
    const WORD* words = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
    if (words == nullptr) {
        return false;
    }
    size_t at = 0;
    for (UINT i = 0; i < id % 16; ++i) {
        at += 1 + words[at];
    }
    if ((at + 1) * 2 > size || (at + 1 + words[at]) * 2 > size) {
        return false;
    }
    out->assign(reinterpret_cast<const char16_t*>(words + at + 1), words[at]);
    return true;
}

void CheckStrings(HMODULE module) {
    char what[96];
    for (const ExpectedString& s : kStrings) {
        std::u16string stored;
        std::snprintf(what, sizeof what, "string %u stored as UTF-16 under 1041", s.id);
        Check(StoredString(module, s.id, &stored) &&
                  stored == std::u16string(s.stored, Length16(s.stored)),
              what);
        wchar_t wide[260];
        int n = LoadStringW(module, s.id, wide, 260);
        std::snprintf(what, sizeof what, "string %u loads as that UTF-16 (%d characters)", s.id, n);
        Check(n > 0 && std::u16string(reinterpret_cast<const char16_t*>(wide), n) == stored, what);
        // The texts as the Japanese Windows they were written for reads them.
        if (GetACP() == 932) {
            char loaded[260];
            n = LoadStringA(module, s.id, loaded, sizeof loaded);
            std::snprintf(what, sizeof what, "string %u loads as its Shift-JIS bytes (%d bytes)",
                          s.id, n);
            Check(n > 0 && std::strcmp(loaded, s.shiftJis) == 0, what);
        }
    }
    // The captions are those Shift-JIS texts, whatever this system's code page.
    const char* const kCaptionsShiftJis[2] = {"\x83\x47\x83\x89\x81\x5B", "\x8F\xEE\x95\xF1"};
    for (int i = 0; i < 2; ++i) {
        wchar_t wide[16] = {};
        int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, kCaptionsShiftJis[i], -1, wide, 16);
        std::snprintf(what, sizeof what, "caption %d is its Shift-JIS text", i);
        Check(n > 0 && lstrcmpW(wide, CaptionTexts[i]) == 0, what);
    }
    // Exactly the five texts: every other id of their blocks is empty.
    int extra = 0;
    for (UINT id = 0; id < 32; ++id) {
        bool known = false;
        for (const ExpectedString& s : kStrings) {
            known = known || s.id == id;
        }
        char loaded[260];
        if (!known && LoadStringA(module, id, loaded, sizeof loaded) > 0) {
            ++extra;
        }
    }
    Check(extra == 0, "no other text in the string table");
}

// --- dialog templates -----------------------------------------------------

struct ExpectedControl {
    WORD id;
    const char16_t* className; // "button", "static" or a class name given by name
    const char16_t* text;
    short x, y, cx, cy;
    DWORD style;
};

struct ExpectedDialog {
    WORD id;
    DWORD style;
    short cx, cy;
    const char16_t* title;
    int count;
    ExpectedControl controls[3];
};

const ExpectedDialog kDialogs[] = {
    {IDD_EXTRACT,
     0x80C008C0,
     105,
     23,
     u"展開中・・・",
     1,
     {{0xFFFF, u"static", u"ファイルの展開をしています...", 7, 7, 90, 8, 0x50020000}}},
    {IDD_CONFIRM,
     0x80C808C0,
     258,
     111,
     u"Varnelo Update 1.1.0.3",
     3,
     {{1, u"button", u"OK", 201, 90, 50, 14, 0x50010001},
      {2, u"button", u"ｷｬﾝｾﾙ", 145, 90, 50, 14, 0x50010000},
      {0xFFFF, u"static",
       u"このアップデータは、Varneloを\nバージョン １．１．０．３ にアップデートします。\n\n"
       u"アップデートすることによりコースや車のデータ、車の挙動等が変更されます。\n"
       u"またバージョン１．０で作成されたピットカー、リプレイ、ゴースト等は\n"
       u"使用できなくなります。\n\nアップデートを適用しますか？",
       7, 7, 244, 77, 0x50020000}}},
    {IDD_PROGRESS,
     0x80C008C0,
     187,
     27,
     u"Update中・・・",
     1,
     {{IDC_PROGRESS, u"msctls_progress32", u"Progress1", 7, 7, 173, 14, 0x50000001}}},
};

// Reads the template's words in order; every read is bounds-checked.
struct TemplateReader {
    const BYTE* bytes;
    DWORD size;
    DWORD at;
    bool ok;
    WORD Word() {
        if (at + 2 > size) {
            ok = false;
            return 0;
        }
        WORD w = static_cast<WORD>(bytes[at] | bytes[at + 1] << 8);
        at += 2;
        return w;
    }
    DWORD Dword() {
        WORD low = Word();
        return low | static_cast<DWORD>(Word()) << 16;
    }
    std::u16string Text() {
        std::u16string text;
        for (WORD w = Word(); ok && w != 0; w = Word()) {
            text.push_back(static_cast<char16_t>(w));
        }
        return text;
    }
    // A name or an ordinal (0xFFFF then the number); ordinals read as "#n".
    std::u16string NameOrOrdinal() {
        if (at + 2 <= size && bytes[at] == 0xFF && bytes[at + 1] == 0xFF) {
            Word();
            WORD ordinal = Word();
            if (ordinal == 0x80) {
                return u"button";
            }
            if (ordinal == 0x82) {
                return u"static";
            }
            return u"#" + std::u16string(1, static_cast<char16_t>(ordinal));
        }
        return Text();
    }
    void Align() { at = (at + 3) & ~3u; }
};

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return text;
}

void CheckDialog(HMODULE module, const ExpectedDialog& d) {
    char what[128];
    HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(d.id), kJapanese);
    std::snprintf(what, sizeof what, "dialog %u stored under 1041", d.id);
    Check(found != nullptr, what);
    if (found == nullptr) {
        return;
    }
    TemplateReader r{static_cast<const BYTE*>(LockResource(LoadResource(module, found))),
                     SizeofResource(module, found), 0, true};
    if (r.bytes == nullptr) {
        Check(false, "dialog template loads");
        return;
    }
    DWORD style = r.Dword();
    DWORD exStyle = r.Dword();
    WORD count = r.Word();
    short x = static_cast<short>(r.Word());
    short y = static_cast<short>(r.Word());
    short cx = static_cast<short>(r.Word());
    short cy = static_cast<short>(r.Word());
    std::u16string menu = r.NameOrOrdinal();
    std::u16string windowClass = r.NameOrOrdinal();
    std::u16string title = r.Text();
    WORD points = r.Word();
    std::u16string font = r.Text();
    std::snprintf(what, sizeof what, "dialog %u: classic template, style %08lx, %dx%d at 0,0", d.id,
                  static_cast<unsigned long>(style), cx, cy);
    Check(r.ok && style == d.style && exStyle == 0 && x == 0 && y == 0 && cx == d.cx &&
              cy == d.cy && menu.empty() && windowClass.empty(),
          what);
    std::snprintf(what, sizeof what, "dialog %u: title, 9 pt font, %d controls", d.id, count);
    Check(r.ok && title == d.title && points == 9 && font == u"ＭＳ Ｐゴシック" && count == d.count,
          what);
    for (int i = 0; i < d.count && i < count; ++i) {
        const ExpectedControl& c = d.controls[i];
        r.Align();
        DWORD cStyle = r.Dword();
        DWORD cExStyle = r.Dword();
        short rect[4];
        for (short& v : rect) {
            v = static_cast<short>(r.Word());
        }
        WORD id = r.Word();
        std::u16string cClass = r.NameOrOrdinal();
        std::u16string text = r.NameOrOrdinal();
        WORD extra = r.Word();
        std::snprintf(what, sizeof what, "dialog %u control %d: id %u, style %08lx, rectangle",
                      d.id, i, id, static_cast<unsigned long>(cStyle));
        Check(r.ok && id == c.id && cStyle == c.style && cExStyle == 0 && rect[0] == c.x &&
                  rect[1] == c.y && rect[2] == c.cx && rect[3] == c.cy && extra == 0,
              what);
        std::snprintf(what, sizeof what, "dialog %u control %d: class and text", d.id, i);
        // Class names given by name must match exactly; the two predefined
        // classes may be stored as ordinals or names.
        bool predefined =
            std::u16string(c.className) == u"button" || std::u16string(c.className) == u"static";
        bool classOk = predefined ? Lower(cClass) == c.className : cClass == c.className;
        Check(r.ok && classOk && text == c.text, what);
    }
}

// --- version record -------------------------------------------------------

void CheckVersion(const char* path) {
    DWORD size = GetFileVersionInfoSizeA(path, nullptr);
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    bool ok = size > 0 && GetFileVersionInfoA(path, 0, size, &block[0]) &&
              VerQueryValueA(&block[0], "\\", reinterpret_cast<void**>(&fixed), &length) &&
              fixed != nullptr;
    Check(ok && fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0 &&
              fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0,
          "version record: file and product version 1.0.0.0");
    char* comment = nullptr;
    ok = ok &&
         VerQueryValueA(&block[0], "\\StringFileInfo\\041104B0\\Comments",
                        reinterpret_cast<void**>(&comment), &length) &&
         comment != nullptr;
    Check(ok && std::strcmp(comment, "ver.1.x.x.x to 1.1.0.3") == 0,
          "version record: comment \"ver.1.x.x.x to 1.1.0.3\"");
}

// --- executable and manifest ------------------------------------------------

// The file is a 32-bit (PE32, i386) GUI program: it starts on 32-bit Windows.
// The 64-bit test build (where 32-bit programs cannot run) checks for its own
// kind of image instead.
#ifdef _WIN64
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD kOptionalMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
constexpr const char* kImageKind = "image: PE32+ for x86-64 (the test build)";
#else
constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
constexpr WORD kOptionalMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
constexpr const char* kImageKind = "image: PE32 for i386";
#endif

void CheckImage(const char* path) {
    unsigned char head[1024] = {};
    FILE* file = std::fopen(path, "rb");
    size_t got = file != nullptr ? std::fread(head, 1, sizeof head, file) : 0;
    if (file != nullptr) {
        std::fclose(file);
    }
    DWORD pe = got >= 64 ? head[60] | head[61] << 8 | head[62] << 16 | head[63] << 24 : 0;
    bool ok = pe != 0 && pe + 24 + 70 <= got && std::memcmp(head + pe, "PE\0\0", 4) == 0;
    const unsigned char* coff = head + pe + 4;
    const unsigned char* optional = coff + 20;
    Check(ok && (coff[0] | coff[1] << 8) == kMachine &&
              (optional[0] | optional[1] << 8) == kOptionalMagic,
          kImageKind);
    Check(ok && (optional[68] | optional[69] << 8) == IMAGE_SUBSYSTEM_WINDOWS_GUI,
          "image: Windows GUI subsystem");
}

// The manifest as the system's own parser reads it: it asks for elevation
// and names Vista to Windows 11, and Common Controls 6 is not asked for.
void CheckManifest(HMODULE module, const char* path) {
    HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), kJapanese);
    Check(found != nullptr, "manifest stored as RT_MANIFEST 1 under 1041");
    if (found == nullptr) {
        return;
    }
    std::string text(static_cast<const char*>(LockResource(LoadResource(module, found))),
                     SizeofResource(module, found));
    Check(text.find("Common-Controls") == std::string::npos,
          "manifest: no dependency on Common Controls 6");
    Check(text.find("2005/WindowsSettings\">true</dpiAware>") != std::string::npos,
          "manifest: DPI aware (system)");
    ACTCTXA request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path;
    request.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE context = CreateActCtxA(&request);
    Check(context != INVALID_HANDLE_VALUE, "manifest: the system accepts it");
    if (context == INVALID_HANDLE_VALUE) {
        return;
    }
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
    SIZE_T size = 0;
    bool ok = QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level,
                           sizeof level, &size);
    Check(ok && level.RunLevel == ACTCTX_RUN_LEVEL_REQUIRE_ADMIN && !level.UiAccess,
          "manifest: requestedExecutionLevel requireAdministrator, no uiAccess");
    // Vista, 7, 8, 8.1, 10/11.
    const GUID kSystems[] = {
        {0xe2011457, 0x1546, 0x43c5, {0xa5, 0xfe, 0x00, 0x8d, 0xee, 0xe3, 0xd3, 0xf0}},
        {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},
        {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},
        {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},
        {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}},
    };
    alignas(8) BYTE buffer[1024] = {};
    auto* compatibility = reinterpret_cast<ACTIVATION_CONTEXT_COMPATIBILITY_INFORMATION*>(buffer);
    ok = QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, buffer,
                      sizeof buffer, &size);
    // Newer systems add a 64-bit MaxVersionTested to each element (32 bytes
    // from offset 8) to the older 20-byte elements from offset 4.
    DWORD count = ok ? compatibility->ElementCount : 0;
    size_t first = 4, stride = sizeof(COMPATIBILITY_CONTEXT_ELEMENT);
    if (count > 0 && size == 8 + count * 32) {
        first = 8;
        stride = 32;
    }
    ok = ok && first + count * stride <= sizeof buffer;
    int named = 0;
    for (const GUID& system : kSystems) {
        for (DWORD i = 0; ok && i < count; ++i) {
            COMPATIBILITY_CONTEXT_ELEMENT e;
            std::memcpy(&e, buffer + first + i * stride, sizeof e);
            if (e.Type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS &&
                std::memcmp(&e.Id, &system, sizeof system) == 0) {
                ++named;
                break;
            }
        }
    }
    Check(ok && named == 5 && count == 5, "manifest: supportedOS Vista, 7, 8, 8.1, 10 and 11");
    ReleaseActCtx(context);
}

int Resources(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::printf("FAIL cannot load %s\n", path);
        return 1;
    }
    CheckStrings(module);
    for (const ExpectedDialog& d : kDialogs) {
        CheckDialog(module, d);
    }
    Check(FindResourceExA(module, MAKEINTRESOURCEA(10), MAKEINTRESOURCEA(IDR_PATCHDATA),
                          kJapanese) != nullptr,
          "archive stored as RCDATA 103 under 1041");
    Check(FindResourceExA(module, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1), kJapanese) != nullptr,
          "version record stored under 1041");
    CheckManifest(module, path);
    FreeLibrary(module);
    CheckVersion(path);
    CheckImage(path);
    return Failures == 0 ? 0 : 1;
}

// --- message boxes of any process ---------------------------------------

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// The UTF-8 bytes of the text in hex.
std::string Hex(const std::wstring& text) {
    std::string out;
    char two[3];
    for (unsigned char c : Utf8(text)) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

// The text whose UTF-8 bytes are given in hex.
std::wstring FromHex(const char* hex) {
    std::string bytes;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        char two[3] = {hex[i], hex[i + 1], 0};
        bytes.push_back(static_cast<char>(std::strtol(two, nullptr, 16)));
    }
    std::wstring out(bytes.size() + 1, L'\0');
    int n =
        MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}

struct BoxContents {
    std::wstring text;
    int buttons;
    std::wstring buttonText;
    int icons;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
    BoxContents* box = reinterpret_cast<BoxContents*>(parameter);
    char className[64];
    wchar_t text[512];
    GetClassNameA(child, className, sizeof className);
    GetWindowTextW(child, text, 512);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (!(style & WS_VISIBLE)) {
        return TRUE;
    }
    if (lstrcmpiA(className, "Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            // The box keeps its icon control; it counts only with an icon.
            if (SendMessageA(child, STM_GETICON, 0, 0) != 0) {
                ++box->icons;
            }
        } else if (text[0] != 0) {
            box->text += text;
        }
    } else if (lstrcmpiA(className, "Button") == 0) {
        ++box->buttons;
        box->buttonText += text;
    }
    return TRUE;
}

int ReadBox(const char* hexTitle) {
    HWND box = FindWindowW(L"#32770", FromHex(hexTitle).c_str());
    if (box == nullptr) {
        std::printf("no box\n");
        return 1;
    }
    BoxContents contents{L"", 0, L"", 0};
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&contents));
    std::printf("text=%s buttons=%d button=%s icons=%d owner=%d\n", Hex(contents.text).c_str(),
                contents.buttons, Utf8(contents.buttonText).c_str(), contents.icons,
                GetWindow(box, GW_OWNER) != nullptr ? 1 : 0);
    return 0;
}

// --- phases -----------------------------------------------------------------

BOOL CALLBACK IsButton(HWND child, LPARAM found) {
    char className[32];
    if (GetClassNameA(child, className, sizeof className) > 0 &&
        lstrcmpiA(className, "Button") == 0) {
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK IsMessageBox(HWND window, LPARAM found) {
    char className[32];
    DWORD owner = 0;
    bool button = false;
    if (GetWindowThreadProcessId(window, &owner) != 0 && owner == GetCurrentProcessId() &&
        IsWindowVisible(window) && GetClassNameA(window, className, sizeof className) > 0 &&
        std::strcmp(className, "#32770") == 0) {
        // The phases' own windows are dialogs too, but without buttons.
        EnumChildWindows(window, IsButton, reinterpret_cast<LPARAM>(&button));
    }
    if (button) {
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
}

// True while a message box of this process is on the screen.
bool HasMessageBox() {
    bool found = false;
    EnumWindows(IsMessageBox, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Runs the phase while a watcher notes the phase's status at the moment a
// message box of this process first shows (99 when none showed): the status
// a window of the phase sees while the user reads the message.
template <typename Phase>
bool WatchingForBox(const PhaseStatus* status, int32_t* atBox, Phase phase) {
    std::atomic<int32_t> seen(99);
    std::atomic<bool> done(false);
    std::thread watcher([&] {
        while (!done.load()) {
            if (HasMessageBox()) {
                seen.store(ObserveStatus(status));
                return;
            }
            Sleep(5);
        }
    });
    bool ok = phase();
    done.store(true);
    watcher.join();
    *atBox = seen.load();
    return ok;
}

// Waits, 60 s at most, until the progress bar of the window with that title
// has moved from 0.
int WaitProgress(const char* hexTitle) {
    std::wstring title = FromHex(hexTitle);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(10)) {
        HWND window = FindWindowW(L"#32770", title.c_str());
        HWND bar = window != nullptr ? GetDlgItem(window, IDC_PROGRESS) : nullptr;
        DWORD_PTR position = 0;
        if (bar != nullptr &&
            SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &position) != 0 &&
            position > 0) {
            std::printf("position=%lu\n", static_cast<unsigned long>(position));
            return 0;
        }
    }
    std::printf("no progress\n");
    return 1;
}

// --- rights on the installation's registry key ----------------------------

// Gives everyone only read access (plus the rights to change the key's
// security and delete it afterwards) to the App Paths key, as a process that
// is not elevated has on HKEY_LOCAL_MACHINE; "full" gives everything back.
// Prints whether an open with full access is then refused.
int KeyRights(const char* which) {
    const char kKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\VRNL.exe";
    bool readOnly = std::strcmp(which, "read") == 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, WRITE_DAC, &key) != ERROR_SUCCESS) {
        std::printf("cannot open the key\n");
        return 1;
    }
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    alignas(8) BYTE aclBytes[256];
    ACL* acl = reinterpret_cast<ACL*>(aclBytes);
    DWORD mask = readOnly ? KEY_READ | WRITE_DAC | DELETE : KEY_ALL_ACCESS;
    SECURITY_DESCRIPTOR descriptor;
    bool ok = everyone != nullptr && InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) &&
              AddAccessAllowedAce(acl, ACL_REVISION, mask, everyone) &&
              InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (everyone != nullptr) {
        FreeSid(everyone);
    }
    HKEY probe = nullptr;
    LONG full = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &probe);
    if (full == ERROR_SUCCESS) {
        RegCloseKey(probe);
    }
    std::printf("set=%d full_access=%s\n", ok ? 1 : 0,
                full == ERROR_SUCCESS         ? "granted"
                : full == ERROR_ACCESS_DENIED ? "denied"
                                              : "error");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    AppInstance = GetModuleHandleA(nullptr);
    MessageOwner = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "resources") == 0) {
        return Resources(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "message") == 0) {
        ShowMessage(static_cast<UINT>(std::atoi(argv[2])), std::atoi(argv[3]));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "patch") == 0) {
        char directory[kPathSize];
        if (!CopyText(directory, sizeof directory, argv[3])) {
            return 2;
        }
        int32_t atBox = 99;
        bool ok =
            WatchingForBox(&PatchStatus, &atBox, [&] { return RunPatch(argv[2], directory); });
        std::printf("result=%d status=%d at_box=%d\n", ok ? 1 : 0, ObserveStatus(&PatchStatus),
                    atBox);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "waitprogress") == 0) {
        return WaitProgress(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "keyrights") == 0) {
        return KeyRights(argv[2]);
    }
    if (argc == 2 && std::strcmp(argv[1], "codepage") == 0) {
        std::printf("%u\n", GetACP());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "readbox") == 0) {
        return ReadBox(argv[2]);
    }
    if (argc == 2 && std::strcmp(argv[1], "extract") == 0) {
        char tempPath[kPathSize];
        std::memset(tempPath, 0, sizeof tempPath);
        int32_t atBox = 99;
        bool ok = WatchingForBox(&ExtractStatus, &atBox, [&] { return RunExtraction(tempPath); });
        std::printf("result=%d status=%d at_box=%d path=%s\n", ok ? 1 : 0,
                    ObserveStatus(&ExtractStatus), atBox, tempPath);
        return 0;
    }
    std::fprintf(stderr, "usage: ui_probe resources EXE | message ID CAPTION | extract | patch "
                         "ARCHIVE DIR | readbox HEXTITLE | waitprogress HEXTITLE | "
                         "keyrights read|full\n");
    return 2;
}
