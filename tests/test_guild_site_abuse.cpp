// The rostrel-guild-site program under clients that misbehave as an attacker's would, bounded.

#include "support/guildsitecheck.h"
#include "testdata.h"

#include <QProcess>
#include <QSslSocket>

#include <sys/resource.h>
#include <unistd.h>

using namespace rostrel::testing;
using namespace rostrel::testing::site;

namespace {
const QByteArray kClose = " HTTP/1.1\r\nConnection: close\r\n\r\n";

// The program on a free port, serving a 2 MB file as "big".
struct Fixture
{
    explicit Fixture(QStringList options = {}, rlim_t files = 0) // files: how many it may open
    {
        if (files)
            process.setChildProcessModifier([limit = rlimit { files, files }] {
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                    _exit(127);
            });
        QFile big(dir.filePath(QStringLiteral("big")));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(2 << 20));
        process.start(qEnvironmentVariable("ROSTREL_BIN_DIR") + QStringLiteral("/rostrel-guild-site"),
            options << QStringLiteral("--data") << dir.filePath(QStringLiteral("data")) << QStringLiteral("--files")
                    << dir.path() << QStringLiteral("--port-file") << dir.filePath(QStringLiteral("port")));
        QTRY_VERIFY_WITH_TIMEOUT((output += process.readAllStandardOutput()).contains('\n'), 20000);
        port = readFile(dir.filePath(QStringLiteral("port"))).trimmed().toUShort();
    }
    ~Fixture() { process.kill(), process.waitForFinished(); }
    qint64 memory(const QByteArray& field) const // in kB, as the kernel counts them
    {
        const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(process.processId()));
        return status.mid(status.indexOf(field) + field.size()).trimmed().split(' ').constFirst().toLongLong();
    }
    // A connection with these bytes handed to the kernel.
    std::unique_ptr<QTcpSocket> send(const QByteArray& bytes) const
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QStringLiteral("127.0.0.1"), port);
        socket->write(bytes);
        while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(5000)) { }
        return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
    }
    // The answers to requests on a new connection: by then the site has read what came before.
    QByteArray ask(const QByteArray& requests) const
    {
        auto socket = send(requests);
        while (socket && socket->waitForReadyRead(5000)) { }
        return socket ? socket->readAll() : QByteArray();
    }
    QTemporaryDir dir;
    QProcess process;
    QByteArray output;
    quint16 port = 0;
};
} // namespace

class TestGuildSiteAbuse : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Freed memory goes back to use at once under AddressSanitizer too.
    void initTestCase() { qputenv("ASAN_OPTIONS", "detect_leaks=0:quarantine_size_mb=0"); }

    void abortedHandshakesDoNotStopAccepting()
    {
        Fixture site({ QStringLiteral("--tls-cert"), testDataPath(QStringLiteral("tls/server.pem")),
            QStringLiteral("--tls-key"), testDataPath(QStringLiteral("tls/server.key")) });
        for (int i = 0; i < 31; ++i)
            QVERIFY(site.send({}));
        QSslSocket tls;
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls.connectToHostEncrypted(QStringLiteral("127.0.0.1"), site.port);
        tls.write("GET /files/Rostrel/big" + kClose);
        QByteArray reply;
        QTRY_VERIFY_WITH_TIMEOUT((reply += tls.readAll()).startsWith("HTTP/1.1 200"), 10000);
    }

    void keepsAcceptingWhenOutOfFiles()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("The sanitizers' runtime opens files of its own, which it cannot while the site has none left.");
#endif
        Fixture site({}, 32);
        std::vector<std::unique_ptr<QTcpSocket>> clients(40);
        for (auto& client : clients)
            client = site.send({});
        clients.clear();
        QVERIFY(site.ask("GET /files/Rostrel/big" + kClose).contains("200 OK"));
    }

    void memoryStaysFlat_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("times");
        QTest::newRow("distinct long names") << "GET /files/Rostrel/%1" + QByteArray(60000, 'n') + " HTTP/1.1\r\n\r\n"
                                             << 1000;
        QTest::newRow("pipelined, never read") << QByteArray("GET /files/Rostrel/big HTTP/1.1\r\n\r\n") << 200;
        QTest::newRow("length without body")
            << QByteArray("POST /memberbankupload.php HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n") << 100;
    }
    void memoryStaysFlat()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, times);
        // GETs go pipelined on one connection; each POST on its own, where a buffer reserved for
        // its body would show in the address space before a page of it is touched.
        const bool posts = request.startsWith("POST");
        const QByteArray field = posts ? "VmSize:" : "VmRSS:";
        Fixture site;
        const QByteArray served = "GET /files/Rostrel/big" + kClose;
        QVERIFY(site.ask(served).contains("200 OK"));
        const qint64 before = site.memory(field);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        QByteArray pipelined;
        for (int i = 0; i < times; ++i) {
            pipelined += QByteArray(request).replace("%1", QByteArray::number(i));
            if (posts || i == times - 1)
                clients.push_back(site.send(std::exchange(pipelined, {})));
        }
        QVERIFY(std::all_of(clients.begin(), clients.end(), [](const auto& client) { return client != nullptr; }));
        QVERIFY(site.ask(served).contains("200 OK"));
        QCOMPARE_LT(site.memory(field) - before, 16 * 1024); // the faults took 100 MB and more
    }

    void clientTextStaysItsOwn()
    {
        Fixture site({ QStringLiteral("--user"), QStringLiteral("kestrel:gryphon") });
        const QByteArray body = programBody(QStringLiteral("x\r\nforged\x1b[2J"), QStringLiteral("pw"), "p");
        site.ask("POST /memberbankupload.php HTTP/1.1\r\nContent-Type: " + kProgramContentType
            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        QTRY_VERIFY((site.output += site.process.readAllStandardOutput()).contains("Rejected"));
        QVERIFY(site.output.contains("\nRejected login x\\x0d\\x0aforged\\x1b[2J\n"));

        Fixture redirector({ QStringLiteral("--redirect"), QStringLiteral("301:https://127.0.0.1:8443") });
        const QByteArray answer = redirector.ask("GET @evil.example/" + kClose + "GET /after-close HTTP/1.1\r\n\r\n");
        QVERIFY(answer.contains("\r\nLocation: https://127.0.0.1:8443/\r\n"));
        QCOMPARE(answer.count("HTTP/1.1"), 1);
    }
};

QTEST_GUILESS_MAIN(TestGuildSiteAbuse)
#include "test_guild_site_abuse.moc"
