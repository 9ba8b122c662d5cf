// btrstudio: a dictionary's files, their fields and keys, and their records.
//   btrstudio [DICT] [--file NAME] [--data] [--find Field=value] [--screenshot OUT.png]
// --screenshot draws the window (and the data window with --data), saves the
// picture and quits: what the tests look at under Xvfb.
#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

#include "apps/btrstudio/studio.h"
#include "gui/qthandlers.h"

namespace {

const char* kUsage =
    "usage: btrstudio [DICT] [--file NAME] [--data] [--find Field=value] [--screenshot OUT.png]\n"
    "\n"
    "Shows the files a dictionary describes with their fields and keys (F3 or the\n"
    "cell's button lists the types), saves descriptions and creates data files.\n"
    "  --file NAME        show that file of the dictionary\n"
    "  --data             open its records (read-only until you press Edit)\n"
    "  --find Field=value make the first record holding the value current\n"
    "  --screenshot OUT   save a picture of the window and quit\n";

} // namespace

int main(int argc, char** argv) {
    // The arguments first: --help and --version need no display.
    std::string dict, file, shot, find;
    bool data = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "btrstudio: %s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            into = argv[++i];
        };
        if (a == "--screenshot") value(shot);
        else if (a == "--file") value(file);
        else if (a == "--find") value(find);
        else if (a == "--data") data = true;
        else if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--version") {
            std::printf("btrstudio %s\n", BTRKIT_VERSION);
            return 0;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "btrstudio: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            dict = a;
        }
    }
    QApplication app(argc, argv);
    btr::InstallQtHandlers();
    btr::studio::TStudioWindow window;
    window.show();
    btr::studio::TDataWindow* records = nullptr;
    if (!dict.empty() && !btr::RunHandled([&] {
            window.OpenDictionary(dict);
            if (!file.empty()) {
                const auto found = window.FileList()->findItems(QString::fromUtf8(file.c_str()), Qt::MatchFixedString);
                if (!found.isEmpty()) window.FileList()->setCurrentItem(found.front());
            }
            if (data) records = window.OpenData();
            if (records && !find.empty() && !records->GoToRecord(find))
                throw btr::Exception("no record holds " + find);
        }) && !shot.empty())
        return 1;
    if (!shot.empty()) {
        QTimer::singleShot(300, [&] {
            QWidget* target = records ? static_cast<QWidget*>(records) : static_cast<QWidget*>(&window);
            const bool saved = target->grab().save(QString::fromUtf8(shot.c_str()));
            QApplication::exit(saved ? 0 : 1);
        });
    }
    return app.exec();
}
