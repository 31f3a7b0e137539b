#pragma once

#include "command.h"
#include "feature.h"

#include <QString>

// "test": proves that a feature works on this machine and says how fast: the helper loads
// the model or the voice and times real work, and the tool prints the one-line verdict the
// install dialog shows. The stages go to standard error, the verdict to standard output.
class TestCommand : public Command
{
    Q_OBJECT
public:
    TestCommand(const Feature &feature, const QString &choice, QObject *parent = nullptr);

    void start() override;

private:
    void testWhisper();
    void testKokoro();
    void reportVerdict(bool works, bool missingSomething, const QString &summary);

    Feature mFeature;
    // The model (whisper) or voice (kokoro) to test; empty for the stored choice.
    QString mChoice;
};
