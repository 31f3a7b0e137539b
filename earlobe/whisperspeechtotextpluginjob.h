#pragma once

#include "earlobe_export.h"

#include <QObject>

// A job a host plug-in may hold for dictation; dictation itself needs no job, so it does nothing.
class EARLOBE_EXPORT WhisperSpeechToTextPluginJob : public QObject
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextPluginJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextPluginJob() override;

    void start();
};
