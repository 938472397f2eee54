#include "app/gui/mainform.h"
#include "platform/portlist.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("journal-reader"));
    QApplication::setApplicationDisplayName(QStringLiteral("Журнал событий прибора"));

    TForm1Options options;
    options.programDirectory = platform::programDirectory();
    TForm1 form(std::move(options));
    form.show();
    return app.exec();
}
