// Code-page-936 texts to and from Qt strings.
#pragma once

#include <QString>

#include "platform/text.h"

namespace varnelo {

QString ToQString(const Text& text);
Text FromQString(const QString& text);

}  // namespace varnelo
