// The four 16 x 16 severity images (error, warning, information, other) and the program's
// icon, drawn in code.
#pragma once

#include <QIcon>

namespace pondrel::lorvik {

// By level number: 1 error, 2 warning, 3 information, anything else "other".
const QIcon& SeverityIcon(int level);
QIcon ApplicationIcon();

}  // namespace pondrel::lorvik
