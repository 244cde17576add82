// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/portreport.h>
#include <kvdevice/type.h>

#include <QAbstractTableModel>
#include <QDateTime>
#include <QVector>

/// Every port a watcher has told of, one row per PortInfo::name, as the watcher last
/// told it. The row of a port that went away stays, greyed, until clearGone().
class PortTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Port, Serial, VidPid, Location, Outcome, Type, Changed, Next, Detail, ColumnCount };
    /// Per row, whether its board has gone (bool).
    static constexpr int GoneRole = Qt::UserRole;

    using QAbstractTableModel::QAbstractTableModel;

    void attached(KvDevice::Type type, const KvDevice::PortReport &report);
    void detached(KvDevice::Type type, const KvDevice::PortInfo &port);
    void concluded(const KvDevice::PortReport &report);
    /// A port without a board went away: its row stays, greyed, with its last outcome.
    void left(const KvDevice::PortInfo &port);
    /// Removes the rows of boards that have gone; returns how many.
    int clearGone();
    /// The report a row shows, and whether its port has gone; -1: no row for `port`.
    KvDevice::PortReport report(int row) const { return rows.value(row).report; }
    bool isGone(int row) const { return rows.value(row).gone; }
    int rowOf(const QString &port) const;

    /// Rows with a board now, rows whose board has gone, rows that delivered no board.
    struct Counts
    {
        int attached = 0;
        int gone = 0;
        int withoutBoard = 0;
    };
    Counts counts() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    /// Counts() may have changed.
    void countsChanged();

private:
    struct Row
    {
        KvDevice::PortReport report;
        bool gone = false;
        QDateTime changed;
    };

    /// The row of `port`, made when it is new; its cells are announced as changed.
    void update(const KvDevice::PortReport &report, bool gone);
    QString text(const Row &row, int column) const;

    QVector<Row> rows;
};
