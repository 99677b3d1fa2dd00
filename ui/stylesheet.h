#pragma once

#include <QString>

// The program's style sheet from the resources, as the application applies it:
// the file's bytes as Latin-1, up to the first NUL byte if there is one. Empty
// when the resource cannot be opened; the program then runs unstyled.
QString loadStyleSheet();
