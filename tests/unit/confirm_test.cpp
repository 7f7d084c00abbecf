#include "setup/confirm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t* const kDir = L"C:\\Users\\Zo\u00eb\\AppData\\Local\\Vorlasta";

std::wstring Question(int32_t mode, bool database) {
    wchar_t out[kQuestionCapacity];
    BuildQuestion(mode, database, kDir, out);
    return out;
}

TEST(Question, TextForModeAndDatabase) {
    const std::wstring dir = kDir;
    const std::wstring moveHead =
        L"Move Vorlasta to this PC?\n\nThis puts the program AND all the shop's data (invoices, customers, "
        L"stock, repairs) on this PC in:\n" + dir + L"\n\n";
    EXPECT_EQ(Question(2, true), moveHead +
              L"Vorlasta data already on this PC will be kept as a safety copy (folder data-before-move-...).\n\n");
    // Without data the move question ends with the folder and two line feeds.
    EXPECT_EQ(Question(2, false), moveHead);
    EXPECT_EQ(Question(0, true), L"Install Vorlasta by Morvenhale?\n\nFolder: " + dir +
              L"\n\nVorlasta is already on this PC. It will be updated and ALL your data is kept.");
    EXPECT_EQ(Question(0, false), L"Install Vorlasta by Morvenhale?\n\nFolder: " + dir +
              L"\n\nA desktop icon will be added.");
}

TEST(Question, EveryModeButTwoIsInstall) {
    for (int32_t mode : {0, 1, 3, -1, 0x7fffffff}) {
        EXPECT_EQ(Question(mode, false), Question(0, false)) << mode;
        EXPECT_EQ(Question(mode, true), Question(0, true)) << mode;
    }
}

}  // namespace
