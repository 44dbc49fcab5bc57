#include "service/NewsSink.h"

NewsSink::~NewsSink() = default;
