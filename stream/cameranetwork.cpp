#include "stream/cameranetwork.h"

#include <QNetworkInterface>

bool CameraNetwork::contains(const QList<QHostAddress> &localAddresses, const QString &cameraHost)
{
    const QHostAddress camera(cameraHost);
    if (camera.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    for (const QHostAddress &address : localAddresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && address.isInSubnet(camera, 24))
            return true;
    }
    return false;
}

bool CameraNetwork::isJoined(const QString &cameraHost)
{
    return contains(QNetworkInterface::allAddresses(), cameraHost);
}
