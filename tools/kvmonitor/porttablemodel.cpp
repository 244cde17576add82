// SPDX-License-Identifier: MIT
#include "porttablemodel.h"

#include "common.h"

#include <QBrush>
#include <QColor>
#include <QJsonObject>

using KvDevice::PortReport;

namespace {

QColor outcomeColor(KvDevice::PortOutcome outcome)
{
    switch (outcome) {
    case KvDevice::Identified:
        return QColor(0xc8, 0xf0, 0xc8);
    case KvDevice::Duplicate:
    case KvDevice::NoAnswer:
    case KvDevice::Busy:
    case KvDevice::Unrecognized:
        return QColor(0xff, 0xe0, 0x99);
    default:
        return QColor(0xf4, 0xb8, 0xb8);
    }
}

} // namespace

void PortTableModel::attached(KvDevice::Type type, const PortReport &report)
{
    PortReport attachedReport = report;
    attachedReport.type = type;
    update(attachedReport, false);
}

void PortTableModel::detached(KvDevice::Type type, const KvDevice::PortInfo &port)
{
    PortReport report;
    for (const Row &row : qAsConst(rows)) {
        if (row.report.port.name == port.name)
            report = row.report; // its identity and answer as attached
    }
    report.port.name = port.name;
    report.outcome = KvDevice::Identified;
    report.type = type;
    update(report, true);
}

void PortTableModel::concluded(const PortReport &report)
{
    update(report, false);
}

void PortTableModel::left(const KvDevice::PortInfo &port)
{
    for (const Row &row : qAsConst(rows)) {
        if (row.report.port.name == port.name) {
            update(row.report, true);
            return;
        }
    }
}

void PortTableModel::update(const PortReport &report, bool gone)
{
    int i = 0;
    while (i < rows.size() && rows.at(i).report.port.name != report.port.name)
        ++i;
    const Row row{report, gone, QDateTime::currentDateTime()};
    if (i == rows.size()) {
        beginInsertRows({}, i, i);
        rows.append(row);
        endInsertRows();
    } else {
        rows[i] = row;
        emit dataChanged(index(i, 0), index(i, ColumnCount - 1));
    }
    emit countsChanged();
}

int PortTableModel::clearGone()
{
    int removed = 0;
    for (int i = rows.size() - 1; i >= 0; --i) {
        if (!rows.at(i).gone)
            continue;
        beginRemoveRows({}, i, i);
        rows.remove(i);
        endRemoveRows();
        ++removed;
    }
    if (removed > 0)
        emit countsChanged();
    return removed;
}

int PortTableModel::rowOf(const QString &port) const
{
    for (int i = 0; i < rows.size(); ++i) {
        if (rows.at(i).report.port.name == port)
            return i;
    }
    return -1;
}

PortTableModel::Counts PortTableModel::counts() const
{
    Counts counts;
    for (const Row &row : rows) {
        if (row.gone)
            ++counts.gone;
        else if (row.report.outcome == KvDevice::Identified)
            ++counts.attached;
        else
            ++counts.withoutBoard;
    }
    return counts;
}

int PortTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int PortTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString PortTableModel::text(const Row &row, int column) const
{
    const PortReport &report = row.report;
    switch (column) {
    case Port:
        return report.port.name;
    case Serial:
        return report.port.serialNumber;
    case VidPid:
        return report.port.hasUsbIds ? Tool::hex4(report.port.vendorId) + QLatin1Char(':') + Tool::hex4(report.port.productId) : QString();
    case Location:
        return report.port.usbLocation;
    case Outcome:
        if (row.gone)
            return report.outcome == KvDevice::Identified ? QStringLiteral("detached") : QStringLiteral("gone");
        return Tool::outcomeName(report.outcome).replace(QLatin1Char('_'), QLatin1Char(' '));
    case Type:
        return report.type == KvDevice::NoDevice ? QString() : Tool::typeName(report.type);
    case Changed:
        return row.changed.toString(QStringLiteral("hh:mm:ss"));
    case Next:
        // When the watcher asks a port without a board again by itself, if ever.
        if (row.gone || report.outcome == KvDevice::Identified)
            return QString();
        if (report.nextAttemptMs >= 0)
            return QStringLiteral("at ") + row.changed.addMSecs(report.nextAttemptMs).toString(QStringLiteral("hh:mm:ss"));
        if (report.outcome == KvDevice::NoAnswer || report.outcome == KvDevice::Busy || report.outcome == KvDevice::PermissionDenied)
            return QStringLiteral("given up");
        return QStringLiteral("when plugged in again");
    case Detail:
        break;
    }
    if (report.outcome == KvDevice::Identified) {
        // What the board said of itself, in wire order.
        KvDevice::SessionInit answer;
        answer.parameters = report.answer;
        answer.sentenceId = report.answer.contains(KvDevice::InitField::Subcommand) ? KvDevice::InfoAnswerSentence : KvDevice::VersionSentence;
        QJsonObject values;
        QStringList fields;
        Tool::initFields(answer, &values, &fields);
        return fields.join(QLatin1Char(' '));
    }
    return report.detail + Tool::advice(report);
}

QVariant PortTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return {};
    const Row &row = rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return text(row, index.column());
    case Qt::ToolTipRole:
        return index.column() == Next ? QStringLiteral("Right-click the row to ask the port again now") : text(row, Detail);
    case Qt::ForegroundRole:
        return row.gone ? QVariant(QBrush(Qt::gray)) : QVariant();
    case Qt::BackgroundRole:
        return index.column() == Outcome && !row.gone ? QVariant(QBrush(outcomeColor(row.report.outcome))) : QVariant();
    case GoneRole:
        return row.gone;
    default:
        return {};
    }
}

QVariant PortTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const titles[] = {"Port", "Serial", "VID:PID", "USB location", "Outcome", "Type", "Changed", "Next attempt", "Detail"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return QString::fromLatin1(titles[section]);
}
