#include "editorwindow.h"
#include "sharedsettings.h"

#include <QApplication>
#include <QCommandLineParser>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    useSharedSettings();
    QApplication::setApplicationDisplayName(u"Earlobe & Larynx Editor"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"A text editor with local dictation (whisper) and read-aloud (kokoro)."_s);
    parser.addHelpOption();
    parser.addPositionalArgument(u"file"_s, u"Text file to open."_s, u"[file]"_s);
    parser.process(app);

    EditorWindow window;
    if (!parser.positionalArguments().isEmpty())
        window.openFile(parser.positionalArguments().constFirst());
    window.show();
    window.checkSetup();
    return app.exec();
}
