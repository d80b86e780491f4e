#pragma once

namespace xbase::detail {

extern const char16_t kCp866ToUnicode[256];
extern const char16_t kCp1251ToUnicode[256];
extern const char16_t kCp1252ToUnicode[256];
extern const char16_t kCp437ToUnicode[256];
extern const char16_t kCp850ToUnicode[256];

extern const unsigned char kCp866Upper[256];
extern const unsigned char kCp866Lower[256];
extern const unsigned char kCp1251Upper[256];
extern const unsigned char kCp1251Lower[256];
extern const unsigned char kCp1252Upper[256];
extern const unsigned char kCp1252Lower[256];
extern const unsigned char kCp437Upper[256];
extern const unsigned char kCp437Lower[256];
extern const unsigned char kCp850Upper[256];
extern const unsigned char kCp850Lower[256];

}  // namespace xbase::detail
