#pragma once

#include <QString>

// The size of a firmware file as the file-state lines show it: "1024 Byte",
// "  2 kB", "  1 MB". The number is right-aligned in three places so that the
// lines of the three board families line up.
QString fileSizeText(qint64 bytes);
