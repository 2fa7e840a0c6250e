// Independent replications of the model up to the last time point of the
// reward variables.

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "platform/ProcessServices.h"
#include "simulator/DataPacket.h"
#include "simulator/EventList.h"
#include "simulator/SimulatorClass.h"
#include "trace/TraceFileContainer.h"

void SimulatorClass::TerminatingSimulation() {
  pvNodes = pvModel->GetPVNodes();
  scratchEvent = new Event();

  const int stateSize = pvModel->StateSize();
  char* initialState = new char[stateSize > 0 ? stateSize : 1];
  pvModel->CurrentState(initialState);
  if (GlobalDebugLevel >= 4) {
    for (int i = 0; i < stateSize; i++) {
      std::printf("OriginalState[%d] = %d\n", i, static_cast<int>(static_cast<signed char>(initialState[i])));
    }
  }

  const int observationsPerPacket = reportSize;
  GenerateInitialEnabledList();
  StartRunTimer();
  valuePacket = CreateDataPacket(numPVs);
  squarePacket = CreateDataPacket(numPVs);
  traces->newBatch();

  int observation = 0;
  while (status == 0) {
    currentTime = 0.0;
    eventList->ClearEventList();
    for (BaseActionClass* group : reactivationList) group->reactivation = false;
    reactivationList.clear();
    if (GenerateCompleteEventList() != 0) {
      std::cerr << "ERROR: unable to generate event list\n";
      std::exit(1);
    }
    const double endTime = pvModel->GetMaxStopTime();

    // An event exactly at endTime fires; the first one after it does not.
    earliestSlot = eventList->Earliest();
    if (earliestSlot != nullptr) {
      currentTime = (*earliestSlot)->time;
      nextAction = (*earliestSlot)->action;
      StepUntil(endTime);
    }
    traces->newBatch();
    pvModel->EndAccumulate(endTime);

    for (int i = 0; i < numPVs; i++) {
      valuePacket->values[i * observationsPerPacket + observation] = pvNodes[i]->GetValue();
      squarePacket->values[i * observationsPerPacket + observation] = pvNodes[i]->GetSquare();
    }
    observation++;
    batchesDone++;

    // maxBatches is read afresh: the manager link may set it during the run.
    // An interrupted run hands over what it has, like a run at its limit.
    const bool last =
        (maxBatches >= 1 && batchesDone >= maxBatches) || SimulatorInterruptSignal != 0;
    if (last) status = 1;
    if (last || observation == observationsPerPacket) {
      for (int i = 0; i < numPVs; i++) {
        valuePacket->counts[i] = observation;
        squarePacket->counts[i] = observation;
      }
      cpuSeconds = ElapsedRunSeconds();
      CheckReportSize(cpuSeconds);
      observation = 0;
    }

    pvModel->SetState(initialState);
    pvModel->PVReset();
    // A case chosen ahead in this replication belongs to its state: the next
    // replication chooses again, in its own initial state.
    ForgetPreselections();
  }

  delete scratchEvent;
  scratchEvent = nullptr;
  delete[] initialState;
}
