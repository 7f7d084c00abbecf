#pragma once
#include <stdint.h>

constexpr int kQuestionCapacity = 1500;

// The confirmation question for the mode and whether data\shop.db exists.
void BuildQuestion(int32_t mode, bool databaseExists, const wchar_t* installDir,
                   wchar_t (&out)[kQuestionCapacity]);
