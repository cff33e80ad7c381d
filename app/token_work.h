// Keeps "Выход" from finalizing the token library while a search or renewal
// worker is inside it: workers mark their time in the library, and the exit
// command refuses while any is marked.
#pragma once

void TokenWorkBegin();
void TokenWorkEnd();
bool TokenWorkRunning();
