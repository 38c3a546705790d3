// The two-page wizard window: its controls, their handles and the window procedure that serves
// the main window and both page panels.
#pragma once
#include <windows.h>

#include <string>

struct Item;

constexpr int IDC_PAGE_PANEL = 36100;
constexpr int IDC_CSV_PATH = 36102;
constexpr int IDC_CHOOSE_CSV = 36103;
constexpr int IDC_NOTICE = 36104;
constexpr int IDC_MOVE_IMAGE_SPACE = 36106;
constexpr int IDC_MOVE_THIRD_PARTY = 36107;
constexpr int IDC_BLANK_FAILED = 36108;
constexpr int IDC_DEST_FOLDER = 36109;
constexpr int IDC_CHOOSE_FOLDER = 36110;
constexpr int IDC_FAILED_LIST = 36111;
constexpr int IDC_HELP_LINK = 36112;
constexpr int IDC_WEBSITE_LINK = 36114;
constexpr int IDC_BACK = 36115;
constexpr int IDC_NEXT = 36116;
constexpr int IDC_CLOSE = 36117;
constexpr int IDC_MOVE_HTTPS = 36118;
constexpr int IDC_SECURE_COUNT = 36119;

constexpr int MAIN_WINDOW_WIDTH = 680;
constexpr int MAIN_WINDOW_HEIGHT = 560;
constexpr int PAGE_HEIGHT = 483;
constexpr int LIST_ROW_HEIGHT = 19;
// On a screen too low for the whole window, the window gives up height at this line of the design:
// what crosses it (the pages, the notice box, the list) loses that height and what lies below it
// moves up, at most the design's MOST_HEIGHT_GIVEN pixels, which leave the list its header and
// two rows.
constexpr int FOLD_Y = 300;
constexpr int MOST_HEIGHT_GIVEN = 84;
constexpr const wchar_t* MAIN_WINDOW_CLASS = L"CodeBlocksWindowsApp";

struct MainWindowControls {
    HWND window;
    HWND page1;
    HWND stepTitle1;
    HWND description1;
    HWND csvPath;
    HWND chooseCsv;
    HWND notice;
    HWND page2;
    HWND stepTitle2;
    HWND description2;
    HWND moveImageSpace;
    HWND moveThirdParty;
    HWND blankFailed;
    HWND moveHttps;
    HWND secureCount;
    HWND destLabel;
    HWND destFolder;
    HWND chooseFolder;
    HWND list;
    HWND failedLabel;
    HWND failedList;
    HWND progress;
    HWND progressText;
    HWND back;
    HWND next;
    HWND close;
    HWND helpLink;
    HWND websiteLink;
    // The DPI the controls are laid out for, and the fonts made for it.
    int dpi;
    // The pixels of height given up at FOLD_Y on a screen too low for the whole window.
    int heightGiven;
    HFONT defaultFont;
    HFONT titleFont;
    HFONT linkFont;
};

// Every handle of the one main window; zero until it is created.
extern MainWindowControls controls;
// The page shown: 1 or 2.
extern int currentPage;
// The program's instance and its application icon (resource 101), set at start-up.
extern HINSTANCE appInstance;
extern HICON appIcon;

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Creates every control of both pages and the bottom bar, with fonts and the initial state.
void createControls(HWND window);

// Places every control, the list's columns and row height and the fonts for the DPI, scaled
// from the 96-DPI design, less the height given up; the fonts of the DPI before are released. The list keeps
// its rows, its selection and its first row shown.
void layOutControls(HWND window, int dpi);

// Adds the list row of an item: its title, "等待", and two empty failure counts.
void insertItemRow(Item* item);
// Fills the failed-address box from the selected row, or empties it.
void showFailedAddresses();
// The failed-address text of a finished item, or the empty string when there is nothing to show.
std::wstring failedAddressText(const Item* item);

// The link behaviour of the message loop: the hand cursor over the links, and a click on one
// opens its page. Returns 1 when the message was consumed and must not be dispatched.
int handleLinkMessage(const MSG* message);

// The dialog keys of the message loop, before a message is dispatched: Tab and Shift+Tab walk the
// controls of the visible page, Space toggles a check box, Enter presses the focused button or
// else the page's default one (下一步 or 开始搬家), Esc acts as 关闭. Returns 1 when the message was
// consumed and must not be dispatched.
int handleDialogKeys(MSG* message);

// Registers the window class (the arrow cursor, the button-face background, the application icon).
// Returns 0 when registration fails.
int registerMainWindowClass(HINSTANCE instance);
// Creates the main window with its title, fits its size to the caption, centres and shows it.
HWND openMainWindow(HINSTANCE instance, int showCommand);
