#pragma once

#include "command.h"
#include "terminalprogressbar.h"

#include <QString>
#include <QTextStream>

// "download-model": downloads one whisper model ahead of its first dictation, with a
// progress bar, and optionally makes it the model used for dictation.
class DownloadModelCommand : public Command
{
    Q_OBJECT
public:
    DownloadModelCommand(const QString &model, bool select, QObject *parent = nullptr);

    void start() override;

private:
    void findDefaultModel();
    void download(const QString &model);
    void printMessage(const QString &message);

    QString mModel;
    bool mSelect = false;
    QTextStream mErrorStream;
    TerminalProgressBar mProgressBar;
};
