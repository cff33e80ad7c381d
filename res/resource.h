// Resource identifiers of kestrava.exe.
#pragma once
