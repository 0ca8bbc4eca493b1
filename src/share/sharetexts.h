#pragma once

#include <QString>

// The words the share card and the 我的分享 page use for one link.
namespace ShareText {

// What 「复制链接」 puts on the clipboard: the link and, when there is one, the code, ready to paste.
QString copyText(const QString &url, const QString &code);
// "active" → 有效, "expired" → 已过期, "cancelled" → 已取消, "deleted" → 文件已删除; anything else → 未知.
QString stateText(const QString &state);
// The end of a link's validity for a table cell: 永久 for none, else local "yyyy-MM-dd HH:mm".
QString expiryText(const QString &expiresAt);

} // namespace ShareText
