// btrstudio: a dictionary's files, their fields and keys, and their records.
//   btrstudio [DICT] [--file NAME] [--data] [--screenshot OUT.png]
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

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    btr::InstallQtHandlers();
    std::string dict, file, shot;
    bool data = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--screenshot" && i + 1 < argc) shot = argv[++i];
        else if (a == "--file" && i + 1 < argc) file = argv[++i];
        else if (a == "--data") data = true;
        else if (a == "--help") {
            std::printf("usage: btrstudio [DICT] [--file NAME] [--data] [--screenshot OUT.png]\n");
            return 0;
        } else dict = a;
    }
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
