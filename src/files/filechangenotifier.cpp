#include "files/filechangenotifier.h"

FileChangeNotifier *FileChangeNotifier::instance()
{
    static FileChangeNotifier notifier;
    return &notifier;
}

void FileChangeNotifier::notify()
{
    emit instance()->filesChanged();
}
