#pragma once

#include "command.h"

// "voices": the kokoro voice catalogue, every language included.
class VoicesCommand : public Command
{
    Q_OBJECT
public:
    explicit VoicesCommand(QObject *parent = nullptr);

    void start() override;
};
