// Measures the upload path as the program runs it: a profile read while it is posted, and a
// request waiting on a server that never answers.
//   bench_upload upload <host:port> <profile file>   time and peak memory of one upload
//   bench_upload stall <seconds>                      CPU used while a request waits that long

#include "core/browser.h"
#include "fakes.h"
#include "http/xmlhttp.h"
#include "support/faultserver.h"
#include "upload/uploader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <cstdio>
#include <sys/resource.h>

using namespace rostrel;

namespace {
double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_upload upload HOST:PORT FILE | stall SECONDS\n");
        return 2;
    }
    QNetworkAccessManager network;
    fakes::FakeFormView view;
    fakes::FakeDialogs dialogs;
    fakes::FakeExit exit;
    fakes::FakeLog log;
    fakes::FakeBrowser browser;
    browser.works = false;
    view.setLogin(QStringLiteral("bench"));
    view.setPassword(QStringLiteral("bench"));

    if (args.at(1) == u"upload" && args.size() >= 4) {
        NetworkRequestFactory factory(network);
        RequestSource requests(factory, dialogs, browser, exit);
        Uploader uploader(view, requests, dialogs, log);
        view.setUrl(args.at(2));
        const long rssBefore = peakRssKb();
        QElapsedTimer timer;
        timer.start();
        // As the watcher posts a profile the game wrote: read while it goes out.
        const QFileInfo info(args.at(3));
        const UploadResult result = uploader.post(
            ProfileFile { args.at(3), args.at(3), info.size(), info.lastModified() }, Uploader::Reporting::Background);
        const double seconds = timer.elapsed() / 1000.0;
        std::printf("upload_seconds %.3f\nupload_peak_rss_kb %ld\nbaseline_rss_kb %ld\nprofile_bytes %lld\nreply %s\n",
            seconds, peakRssKb(), rssBefore, static_cast<long long>(info.size()),
            qPrintable(result ? result->reply : result.error()));
        return result ? 0 : 1;
    }
    if (args.at(1) == u"stall") {
        const int seconds = args.at(2).toInt();
        FaultServer silent(FaultServer::Mode::NeverAnswer);
        silent.listen();
        NetworkRequestFactory factory(network, std::chrono::seconds(seconds));
        RequestSource requests(factory, dialogs, browser, exit);
        Uploader uploader(view, requests, dialogs, log);
        view.setUrl(silent.hostAndPort());
        const double cpuBefore = cpuSeconds();
        QElapsedTimer timer;
        timer.start();
        const UploadResult result = uploader.post("profile\r\n");
        std::printf("stall_wall_seconds %.3f\nstall_cpu_seconds %.4f\ntimed_out %d\n", timer.elapsed() / 1000.0,
            cpuSeconds() - cpuBefore, result ? 0 : 1);
        return 0;
    }
    return 2;
}
