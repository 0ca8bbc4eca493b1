#pragma once

#include <QPixmap>
#include <QString>

// A round size x size avatar from a "data:image/...;base64,..." URL (or bare Base64): the picture
// scaled to cover the square and clipped to its inscribed circle. Null when the URL is empty or
// does not decode to an image.
QPixmap roundAvatarPixmap(const QString &url, int size);

// The letter shown in place of a missing picture: the first whole character of name (a surrogate
// pair or a base letter with its combining marks is never split), or "我" for an empty name.
QString avatarInitial(const QString &name);
