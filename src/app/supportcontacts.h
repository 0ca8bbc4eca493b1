#pragma once

// Customer support contacts shown in the status bar (and named by the privacy policy).
namespace SupportContacts {

inline constexpr char QqNumber[] = "2852177406";
inline constexpr char WechatId[] = "tolvar-kefu";
inline constexpr char Telephone[] = "400-826-5170";
inline constexpr char Mobile[] = "13917206835";
inline constexpr char Website[] = "https://www.tolvar.cn";

} // namespace SupportContacts
