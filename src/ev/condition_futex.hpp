// placeholder, replaced by the thread pool work
#pragma once
