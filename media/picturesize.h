#ifndef PICTURESIZE_H
#define PICTURESIZE_H

#include <QSize>

// The camera's picture as the program handles it: live pictures are delivered at this size
// unless a receiver asks for another, recordings and snapshots are made at it, and the
// display's views are laid out on it. A camera that sends another size is scaled to it.
constexpr QSize CameraPictureSize(1280, 960);

#endif // PICTURESIZE_H
