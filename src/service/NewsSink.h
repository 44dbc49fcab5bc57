#pragma once

#include <QString>

// Where the load worker puts the news it reads. The news list widget
// implements it; the worker calls addNews from its own thread, before it
// signals that the list is complete, while the GUI thread leaves the news
// data alone.
class NewsSink
{
public:
    virtual ~NewsSink();

    // Appends one item and returns its index, which later picture signals
    // refer to.
    virtual unsigned int addNews(const QString &caption, const QString &text, const QString &date,
                                 const QString &link) = 0;
};
