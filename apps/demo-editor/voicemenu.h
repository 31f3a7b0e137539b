#pragma once

#include <QMenu>

class QActionGroup;

// The kokoro voices, one submenu per language, each voice with its icon; one voice checked.
class VoiceMenu : public QMenu
{
    Q_OBJECT
public:
    explicit VoiceMenu(QWidget *parent = nullptr);
    ~VoiceMenu() override;

    [[nodiscard]] QString currentVoice() const;
    void setCurrentVoice(const QString &identifier);

Q_SIGNALS:
    void voiceSelected(const QString &identifier);

private:
    void fill();

    QActionGroup *const mGroup;
};
