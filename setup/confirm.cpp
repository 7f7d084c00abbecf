#include "confirm.h"

#include "common/format_bounded.h"
#include "setup/trailer.h"

void BuildQuestion(int32_t mode, bool databaseExists, const wchar_t* installDir,
                   wchar_t (&out)[kQuestionCapacity]) {
    const bool move = mode == kModeMove;
    const wchar_t* notice;
    if (move) {
        notice = databaseExists ? L"Vorlasta data already on this PC will be kept as a safety copy "
                                  L"(folder data-before-move-...).\n\n"
                                : L"";
    } else {
        notice = databaseExists ? L"Vorlasta is already on this PC. It will be updated and ALL your data is kept."
                                : L"A desktop icon will be added.";
    }
    const wchar_t* question =
        move ? L"Move Vorlasta to this PC?\n\nThis puts the program AND all the shop's data "
               L"(invoices, customers, stock, repairs) on this PC in:\n%ls\n\n%ls"
             : L"Install Vorlasta by Morvenhale?\n\nFolder: %ls\n\n%ls";
    FormatBounded(out, question, installDir, notice);
}
