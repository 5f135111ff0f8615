#pragma once
// The TLS listener of the guild site's HTTP server.

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>

namespace rostrel {

// Hands every accepted connection over at once, its TLS handshake started but not finished.
// QSslServer holds a connection back until its handshake ends, and clients that connect and never
// shake hands fill its pending queue until nothing more is accepted; here the connection's own
// clock drops them like clients that never finish their headers.
class TlsServer final : public QTcpServer
{
public:
    TlsServer(QSslConfiguration tls, QObject* parent)
        : QTcpServer(parent)
        , m_tls(std::move(tls))
    { }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(m_tls);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    QSslConfiguration m_tls;
};

} // namespace rostrel
