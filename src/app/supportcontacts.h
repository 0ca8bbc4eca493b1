#pragma once

// Customer support contacts shown in the status bar (and named by the privacy policy).
namespace SupportContacts {

inline constexpr char QqNumber[] = "80086520";
inline constexpr char WechatId[] = "tolvarkf";
inline constexpr char Telephone[] = "400-826-5170";
inline constexpr char Mobile[] = "13917206835";
inline constexpr char Website[] = "https://tolvar.cn";

} // namespace SupportContacts
