#ifndef CAMERANETWORK_H
#define CAMERANETWORK_H

#include <QHostAddress>
#include <QList>
#include <QString>

// Whether this PC is on the camera's own network: the camera runs a Wi-Fi access point
// that gives the PCs joining it addresses beside its own, in the same /24. It only chooses
// the words the user is told when the camera cannot be reached; a connection is tried
// whatever it says.
namespace CameraNetwork {

// Whether one of `localAddresses` lies in the IPv4 /24 of `cameraHost` (an address, as the
// stream's URL gives it).
bool contains(const QList<QHostAddress> &localAddresses, const QString &cameraHost);
// The same for this PC's addresses now.
bool isJoined(const QString &cameraHost);

} // namespace CameraNetwork

#endif // CAMERANETWORK_H
