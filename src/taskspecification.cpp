#include "taskspecification.h"

#include <QCoreApplication>

TaskSpecification::TaskSpecification(QObject *parent, qreal weight)
    : QObject(parent)
    , m_weight(weight)
{
}

void TaskSpecification::reset()
{
    // Calls of the run before may still be queued to this task: a composed task's start requests, a work
    // object's result. Delivered after the reset they would act on the new run (start a sub-task before
    // execute(), exceed maxParallel, end a run with the old result), so they go here, for every task alike.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    m_cancelRequested = false;
    m_state = TASK_IDLE;
    m_progress = 0.0 * m_weight;
    emit updateProgress(m_progress);
}

void TaskSpecification::getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active)
{
    received = 0;
    total = 0;
    sinceLastPoll = 0;
    active = false;
}

void TaskSpecification::cancel()
{
    m_cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *) { }

void TaskSpecification::setProgress(qreal fraction)
{
    m_progress = m_weight * fraction;
    emit updateProgress(m_progress);
}

void TaskSpecification::setWeight(qreal weight)
{
    m_weight = weight;
}

void TaskSpecification::setFinished()
{
    m_state = TASK_FINISHED;
    m_progress = m_weight;
    emit updateProgress(m_weight);
    emit finished(this);
}

void TaskSpecification::setCanceled()
{
    m_state = TASK_CANCELED;
    emit canceled(this);
}

void TaskSpecification::setError()
{
    m_state = TASK_ERROR;
    emit canceled(this);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && m_state == TASK_RUNNING)
        handleOtherTaskCancelled(other);
}
