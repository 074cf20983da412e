#include "asynctaskspecification.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThreadPool>

#include <exception>

namespace {

// Runs f and reports its result, whatever happens inside run(). The exception must not cross into the
// pool thread (that would end the process), and the task still needs its one result.
void runAndReport(ASyncFunc *f)
{
    bool ok = false;
    try {
        ok = f->run();
    } catch (const std::exception &e) {
        qWarning() << "Work object failed with exception:" << e.what();
        try {
            emit f->message(ASyncFunc::tr("Unexpected error: %1").arg(QString::fromLocal8Bit(e.what())));
        } catch (...) {
        }
    } catch (...) {
        qWarning() << "Work object failed with unknown exception";
        try {
            emit f->message(ASyncFunc::tr("Unexpected error"));
        } catch (...) {
        }
    }
    emit f->runResult(ok);
}

} // namespace

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::start()
{
    runAndReport(this);
}

ASyncRun::ASyncRun(ASyncFunc *func)
    : m_func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete m_func;
}

void ASyncRun::run()
{
    runAndReport(m_func);
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc *f = createFunc();
    connectFunc(f);
    QThreadPool::globalInstance()->start(new ASyncRun(f), 0);
    setState(TASK_RUNNING);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    // The finished work's result may still be queued; the base reset drops it, so it cannot end a new run.
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc *f)
{
    connect(f, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult, Qt::QueuedConnection);
    connect(f, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(f, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(f, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress, Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool ok)
{
    runDone(ok);
}

void ASyncTaskSpecification::onProgress(qreal fraction)
{
    setProgress(fraction);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (state() != TASK_RUNNING)
        return;
    if (ok)
        setFinished();
    else
        setCanceled();
}
