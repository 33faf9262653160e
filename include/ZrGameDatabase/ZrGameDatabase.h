// ZrGameDatabase.h: every public header of the library, for hosts that want one include.
#pragma once

#include "ZrGameDatabase/Platform.h"
#include "ZrGameDatabase/IDatabaseLogger.h"
#include "ZrGameDatabase/Connection.h"
#include "ZrGameDatabase/DatabaseResults.h"
#include "ZrGameDatabase/ResultsCache.h"
#include "ZrGameDatabase/LoadObserver.h"
#include "ZrGameDatabase/XMLSerializer.h"
#include "ZrGameDatabase/ProvenanceRecorder.h"
#include "ZrGameDatabase/DataLoader.h"
#include "ZrGameDatabase/BinaryIO.h"
#include "ZrGameDatabase/ScriptingLua.h"
