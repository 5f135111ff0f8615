// Each misbehaviour of the fault server, seen from an ordinary HTTP client.

#include "support/faultserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace rostrel;

class TestFaultServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void modes_data();
    void modes();
    void changesMode();

private:
    QNetworkAccessManager m_network;
};

void TestFaultServer::modes_data()
{
    QTest::addColumn<FaultServer::Mode>("mode");
    QTest::addColumn<bool>("completes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QNetworkReply::NetworkError>("error");

    using M = FaultServer::Mode;
    QTest::newRow("refuse") << M::Refuse << true << 0 << QNetworkReply::ConnectionRefusedError;
    QTest::newRow("never answer") << M::NeverAnswer << false << 0 << QNetworkReply::NoError;
    QTest::newRow("500 page") << M::Error500Html << true << 500 << QNetworkReply::InternalServerError;
    QTest::newRow("reset mid body") << M::ResetMidBody << true << 200 << QNetworkReply::RemoteHostClosedError;
    QTest::newRow("10 MB binary") << M::Huge10MBBinary << true << 200 << QNetworkReply::NoError;
    QTest::newRow("trickle") << M::Trickle << false << 200 << QNetworkReply::NoError;
    QTest::newRow("stall mid file") << M::StallMidFile << false << 200 << QNetworkReply::NoError;
    QTest::newRow("ok") << M::Ok << true << 200 << QNetworkReply::NoError;
}

void TestFaultServer::modes()
{
    QFETCH(FaultServer::Mode, mode);
    QFETCH(bool, completes);
    QFETCH(int, status);
    QFETCH(QNetworkReply::NetworkError, error);

    FaultServer server(mode, "Inventory Uploaded");
    QVERIFY(server.listen() != 0);
    QSignalSpy requests(&server, &FaultServer::requestReceived);
    QNetworkRequest request(QUrl(server.baseUrl() + QStringLiteral("/memberbankupload.php")));
    request.setRawHeader("Content-Type", "text/plain");
    std::unique_ptr<QNetworkReply> reply(m_network.post(request, QByteArray(5000, 'p')));
    qint64 received = 0;
    // downloadProgress is throttled and may never come for a lone chunk; readyRead always does.
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] { received = reply->bytesAvailable(); });

    if (completes) {
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
        QCOMPARE(reply->error(), error);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    }
    switch (mode) {
    case FaultServer::Mode::Refuse:
        QCOMPARE(requests.count(), 0);
        return;
    case FaultServer::Mode::NeverAnswer:
        // The whole request arrives, and then nothing: no headers come back while we wait.
        QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 1, 30000);
        QVERIFY(server.lastRequest().endsWith(QByteArray(5000, 'p')));
        QVERIFY(!QTest::qWaitFor([&] { return reply->isFinished() || reply->rawHeaderList().size() > 0; }, 300));
        break;
    case FaultServer::Mode::Error500Html:
        QVERIFY(reply->readAll().contains("<html>"));
        break;
    case FaultServer::Mode::ResetMidBody: {
        const QByteArray body = reply->readAll();
        QVERIFY(body.size() < FaultServer::kResetBodySize);
        break;
    }
    case FaultServer::Mode::Huge10MBBinary:
        QVERIFY(reply->readAll() == FaultServer::hugeBody());
        break;
    case FaultServer::Mode::Trickle:
    case FaultServer::Mode::StallMidFile:
        // Part of the body comes, the rest does not.
        QTRY_VERIFY_WITH_TIMEOUT(received > 0, 30000);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        QVERIFY(!QTest::qWaitFor([&] { return reply->isFinished(); }, 300));
        break;
    case FaultServer::Mode::Ok:
        QCOMPARE(reply->readAll(), QByteArray("Inventory Uploaded"));
        break;
    case FaultServer::Mode::Raw: // not in the table: its bytes are the caller's own
    case FaultServer::Mode::SlowRead: // the request object's deadline test reads at the slow pace
        break;
    }
    QCOMPARE(requests.count(), 1);
    reply->abort();
}

void TestFaultServer::changesMode()
{
    FaultServer server(FaultServer::Mode::Refuse);
    QVERIFY(server.listen() != 0);
    server.setMode(FaultServer::Mode::Ok, "back");
    std::unique_ptr<QNetworkReply> reply(m_network.get(QNetworkRequest(QUrl(server.baseUrl()))));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
    QCOMPARE(reply->readAll(), QByteArray("back"));
}

QTEST_GUILESS_MAIN(TestFaultServer)
#include "test_faultserver.moc"
