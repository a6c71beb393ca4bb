#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QWebSocket>
#include <QWebSocketServer>

#include "servicetestsupport.h"

#include <functional>

// A real web-socket server on 127.0.0.1 standing in for the realtime service. It records
// every text message and the handshake request; `onMessage` scripts its answers.
class LoopbackWebSocketServer : public QObject {
public:
    LoopbackWebSocketServer()
        : m_server(QStringLiteral("loopback"), QWebSocketServer::NonSecureMode)
    {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            client = m_server.nextPendingConnection();
            client->setParent(this); // the server hands its sockets over unowned
            handshake = client->request();
            QObject::connect(client, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
                const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
                messages.append(message);
                if (onMessage && client)
                    onMessage(*client, message);
            });
        });
    }

    QString baseURL() const { return QStringLiteral("http://127.0.0.1:") + QString::number(m_server.serverPort()); }

    std::function<void(QWebSocket &client, const QJsonObject &message)> onMessage;
    QPointer<QWebSocket> client;
    QNetworkRequest handshake;
    QList<QJsonObject> messages;

private:
    QWebSocketServer m_server;
};
