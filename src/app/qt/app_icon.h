#pragma once

#include <QIcon>
#include <QImage>

namespace velmora::app {

// The program's icon: a database drawn as a stack of three cylinder discs.
QImage database_icon_image(int size);
QIcon database_icon();

}  // namespace velmora::app
