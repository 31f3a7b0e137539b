#pragma once

#include "command.h"
#include "terminalprogressbar.h"

#include <QStringList>
#include <QTextStream>

// "download-voices": fetches kokoro voices, and the kokoro model with them, ahead of their
// first use, with a progress bar counting the files.
class DownloadVoicesCommand : public Command
{
    Q_OBJECT
public:
    // No voices with all set means the whole catalogue.
    DownloadVoicesCommand(const QStringList &voices, bool all, QObject *parent = nullptr);

    void start() override;

private:
    [[nodiscard]] bool resolveVoices();
    void printMessage(const QString &message);

    QStringList mVoices;
    bool mAll = false;
    QTextStream mErrorStream;
    TerminalProgressBar mProgressBar;
};
