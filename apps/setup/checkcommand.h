#pragma once

#include "command.h"
#include "feature.h"

#include <QList>
#include <QMap>
#include <QStringList>

// "check": runs the environment check of each feature, all at once, and prints for each
// whether it is usable or what is wrong and how to fix it, in a fixed order.
class CheckCommand : public Command
{
    Q_OBJECT
public:
    explicit CheckCommand(const QList<Feature> &features, QObject *parent = nullptr);

    void start() override;

private:
    struct Report {
        int exitCode = Success;
        QStringList lines;
    };

    void checkWhisper();
    void checkKokoro();
    void addReport(const Feature &feature, int exitCode, const QStringList &lines);
    void printWhenComplete();
    [[nodiscard]] static QString installHint(const Feature &feature, const QString &options = {});

    QList<Feature> mFeatures;
    QMap<Feature::Kind, Report> mReports;
};
