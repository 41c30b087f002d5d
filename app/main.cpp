#include "devicelister.h"
#include "highdpi.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace {

constexpr int UsageError = DeviceLister::CannotBind; // the search could not run either way
constexpr int MaxWaitMs = 600000;

// Whether the arguments ask for the command line rather than the window. Decided before any
// application object exists, since the window needs high-DPI scaling set up before its own.
bool wantsCommandLine(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--list", "--format", "--wait", "--help", "--help-all",
                                   "--version", "-h", "-v", "-?"}) {
            const size_t n = std::strlen(option);
            if (std::strncmp(argv[i], option, n) == 0 && (argv[i][n] == 0 || argv[i][n] == '='))
                return true;
        }
    }
    return false;
}

int runCommandLine(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talix-toolkits"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALIX_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Maintenance tool for Talix camera boxes. Without options it opens its window.\n"
            "With --list it searches every local network for boxes and prints them.\n"
            "Exit status of --list: 0 when at least one box answered, 1 when none did,\n"
            "2 when the search could not run (for example UDP port 6999 in use)."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption list(QStringLiteral("list"),
                                  QStringLiteral("Search without a window and print the boxes."));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("Output of --list: csv (default) or json."),
                                    QStringLiteral("csv|json"), QStringLiteral("csv"));
    const QCommandLineOption wait(QStringLiteral("wait"),
                                  QStringLiteral("How long --list waits for replies (2000)."),
                                  QStringLiteral("ms"), QStringLiteral("2000"));
    parser.addOptions({list, format, wait});

    auto usageError = [&](const QString &message) {
        err << "talix-toolkits: " << message << "\nTry 'talix-toolkits --help'.\n";
        err.flush();
        return UsageError;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                                  .arg(parser.positionalArguments().first()));
    if (!parser.isSet(list))
        return usageError(QStringLiteral("--format and --wait go with --list"));

    const QString formatName = parser.value(format);
    if (formatName != QLatin1String("csv") && formatName != QLatin1String("json"))
        return usageError(QStringLiteral("unknown format '%1' (csv or json)").arg(formatName));
    bool ok = false;
    const int waitMs = parser.value(wait).toInt(&ok);
    if (!ok || waitMs < 0 || waitMs > MaxWaitMs)
        return usageError(QStringLiteral("--wait takes milliseconds from 0 to %1, not '%2'")
                                  .arg(MaxWaitMs)
                                  .arg(parser.value(wait)));

    const auto outputFormat = formatName == QLatin1String("json") ? DeviceList::Format::Json
                                                                  : DeviceList::Format::Csv;
    return DeviceLister().run(waitMs, outputFormat, out, err);
}

} // namespace

int main(int argc, char *argv[])
{
    if (wantsCommandLine(argc, argv))
        return runCommandLine(argc, argv);

    HighDpi::enable();
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
