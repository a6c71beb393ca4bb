#pragma once

#include "neighbours.h"

// Providers that this build does not carry yet. Each fails with a clear message,
// so a dictation ends in a visible failure rather than a silent success.

class UnavailableTextPolisher final : public AbstractTextPolisher
{
public:
    QCoro::Task<QString> polish(QString, SmartMode, TextPolisher::Quality, QString, QStringList, QString) override;
};

class UnavailableRealtimeTranscriber final : public AbstractRealtimeTranscriber
{
public:
    QCoro::Task<void> connect(QString, QString, QStringList) override;
    QCoro::Task<void> appendAudio(QByteArray) override { co_return; }
    QCoro::Task<void> commit() override { co_return; }
    QCoro::Task<void> disconnect() override { co_return; }
};
