// Batch means on one long run of the model.

#include <climits>
#include <cmath>
#include <iostream>

#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/PVModel.h"
#include "simulator/DataPacket.h"
#include "simulator/EventList.h"
#include "simulator/SimulatorClass.h"
#include "trace/TraceFileContainer.h"

void SimulatorClass::SteadyStateSimulation() {
  scratchEvent = new Event();
  pvNodes = pvModel->GetPVNodes();
  int* valueCounts = new int[numPVs > 0 ? numPVs : 1]();
  int* squareCounts = new int[numPVs > 0 ? numPVs : 1]();
  currentTime = 0.0;

  GenerateInitialEnabledList();
  if (GenerateCompleteEventListSS() != 0) std::cerr << "ERROR: unable to generate event list\n";

  int steadyStateVariables = 0;
  for (int h = 0; h < numPVs; h++) {
    if (pvNodes[h]->GetSteadyState() == 1) steadyStateVariables++;
  }
  batchBoundaries = new Heap<double>(steadyStateVariables);
  batchCounts = new Heap<int>(steadyStateVariables);
  for (int h = 0; h < numPVs; h++) {
    PerformanceVariableNode* node = pvNodes[h];
    if (node->GetSteadyState() != 1) continue;
    if (node->GetStart() == 0.0) {
      batchBoundaries->Insert(node->GetStop(), h);
      batchCounts->Insert(0, h);
    } else {
      batchBoundaries->Insert(node->GetStart(), h);
      batchCounts->Insert(-1, h);
    }
  }
  traces->newBatch();
  valuePacket = CreateDataPacket(numPVs);
  squarePacket = CreateDataPacket(numPVs);
  StartRunTimer();

  if (steadyStateVariables == 0) {
    // Nothing would ever complete a batch: end at once. Nothing the run was
    // asked for can be made, so it is not a good run.
    std::cerr << "Steady-state simulation needs a steady-state reward variable and this reward "
                 "model has none.  Terminating run."
              << std::endl;
    // A run already stopped (no manager connected) hands over nothing.
    if (status == 0) status = 1;
    if (exitStatus == 0) exitStatus = 1;
  } else {
    earliestSlot = eventList->Earliest();
    if (earliestSlot != nullptr) {
      currentTime = (*earliestSlot)->time;
      nextAction = (*earliestSlot)->action;
    } else if (status == 0) {
      // Nothing will ever fire. A run already stopped (no manager connected)
      // keeps its status and hands over nothing: an empty record is no data.
      status = 1;
    }
  }

  handedOverAfterStop = false;
  while (status == 0) {
    if (SimulatorInterruptSignal != 0) {
      // A stop that came during the last firing: the batches that firing ran
      // past had ended before it, and are closed and handed over as they
      // would have been without it. Then no further firing.
      closingAfterStop = true;
      CheckCompletedBatches(pvNodes, valueCounts, squareCounts);
      closingAfterStop = false;
      if (status == 0) status = 1;
      break;
    }
    // Boundaries up to the time of the event about to fire are closed first:
    // the state has been constant since the previous firing.
    CheckCompletedBatches(pvNodes, valueCounts, squareCounts);
    // Batches that cannot advance, or a stop, end the run before another
    // firing.
    if (status != 0) break;
    // maxBatches is read afresh: the manager link may set it during the run.
    if (maxBatches >= 1 && batchCounts->TopKey() >= maxBatches) status = 1;
    if (!SimStepSS()) {
      status = 1;
      std::cout << "Simulator encountered an absorbing state and is unable to proceed.  "
                   "Terminating run."
                << std::endl;
    }
  }

  // The manager's quit, come during the last firing: the batches that
  // firing ran past are closed as for an interrupt. Not when the batch limit
  // had been reached before that firing: a run left alone closes nothing
  // after it either. (When the quit came while closing, the closing went on
  // to the end, and nothing is left to close here.)
  if (status == 2 && StoppedByQuit() && steadyStateVariables > 0 &&
      !(maxBatches >= 1 && batchCounts->TopKey() >= maxBatches)) {
    CheckCompletedBatches(pvNodes, valueCounts, squareCounts);
  }
  SendSSResults(valueCounts, squareCounts);
  // The batches every steady-state variable completed (the warm-up counts -1).
  if (steadyStateVariables > 0 && batchCounts->TopKey() > 0) batchesDone = batchCounts->TopKey();
  delete batchBoundaries;
  batchBoundaries = nullptr;
  delete batchCounts;
  batchCounts = nullptr;
  delete[] valueCounts;
  delete[] squareCounts;
  delete scratchEvent;
  scratchEvent = nullptr;
}

void SimulatorClass::CheckCompletedBatches(PerformanceVariableNode** nodes, int* valueCounts,
                                           int* squareCounts) {
  while (currentTime >= batchBoundaries->TopKey()) {
    // The batches that ended by the time of the next event are complete:
    // after a stop that came before this closing began (during the firing),
    // or the manager's quit read at a hand-over made here, they are still
    // closed and handed over as they would have been without it.
    // A stop signal that comes while batches are being closed ends the
    // closing there, as does any stop in a state that lasts for ever (the
    // next event at an infinite time): the closing could otherwise take
    // without end, and the run's loop, which acts on the stop, would not be
    // reached again. Once the run is stopped from outside other than by the
    // manager's quit (a lost link, a result file that failed), nothing more
    // is handed over anyway.
    if (status == 2 && !(StoppedByQuit() && std::isfinite(currentTime))) return;
    if (SimulatorInterruptSignal != 0 && !(closingAfterStop && std::isfinite(currentTime))) {
      // As at the top of the run's loop: no further firing.
      if (status == 0) status = 1;
      return;
    }
    const int i = batchBoundaries->TopId();
    PerformanceVariableNode* node = nodes[i];
    // The boundary after this one: the end of the first batch after the
    // warm-up, else the end of the next batch. One that does not lie beyond
    // this one (a batch length that is zero, negative or not a number, or
    // too small to change the time) would be passed again and again without
    // the simulation ever moving on.
    const bool warmUp = batchCounts->KeyOf(i) == -1;
    // After a stop the closing makes one hand-over at most (of the rows
    // full before it, or filled by it): the time of the next event may lie
    // so far off (a rate near zero) that closing every batch before it
    // would take ages, and the stop would no longer end the run. A row full
    // once more ends it, to be handed over as the run stops.
    if (!warmUp && valueCounts[i] == reportSize && (closingAfterStop || status == 2)) {
      if (handedOverAfterStop) return;
      handedOverAfterStop = true;
    }
    const double next = warmUp ? node->GetStop() : node->GetStop() + node->GetInterval();
    if (!(next > batchBoundaries->TopKey())) {
      std::cerr << "!! The batches of steady-state variable "
                << (node->GetName() != nullptr ? node->GetName() : "") << " do not advance past time "
                << batchBoundaries->TopKey() << " (batch length " << node->GetInterval()
                << "): the run stops" << std::endl;
      if (status == 0) status = 1;
      exitStatus = 1;
      return;
    }
    if (!warmUp) {
      // A batch, not the warm-up, has ended.
      node->Accumulate(node->GetStop() + 1.0, BaseModelClass::LastActionTime,
                       pvModel->GetLastFiredAction());
      if (valueCounts[i] == reportSize) SendSSResults(valueCounts, squareCounts);
      // When nothing could be handed over (the run is being stopped), the
      // row is still full: the observation is dropped rather than written
      // past the row.
      if (valueCounts[i] < reportSize && squareCounts[i] < reportSize) {
        valuePacket->values[i * reportSize + valueCounts[i]++] = node->GetValue();
        squarePacket->values[i * reportSize + squareCounts[i]++] = node->GetSquare();
      }
      node->Reset();
    }
    batchBoundaries->ModifyKey(i, node->GetStop());
    // A count stops at the largest int: a variable whose batches are far
    // shorter than another's can complete that many before the slower one
    // reaches the limit, and a count that wrapped to a negative one would
    // hold the run's limit off (and at -1 be taken for the warm-up).
    const int completed = batchCounts->KeyOf(i);
    if (completed < INT_MAX) batchCounts->ModifyKey(i, completed + 1);
    traces->newBatch();
    // Batches much shorter than the time between firings would otherwise
    // all be closed here, past the limit (a million from one firing), before
    // the run looks at it.
    if (maxBatches >= 1 && batchCounts->TopKey() >= maxBatches) return;
  }
}

int SimulatorClass::SendSSResults(int* valueCounts, int* squareCounts) {
  if (status == 2) {
    // The manager reads on after its quit for what the run hands over as it
    // stops: the batches closed since the last hand-over, if there are any
    // (an empty record is no data). After any other stop from outside
    // nothing more can be handed over.
    if (!StoppedByQuit()) return 0;
    bool any = false;
    for (int i = 0; i < numPVs; i++) any = any || valueCounts[i] > 0 || squareCounts[i] > 0;
    if (!any) return 0;
  }
  for (int i = 0; i < numPVs; i++) {
    valuePacket->counts[i] = valueCounts[i];
    squarePacket->counts[i] = squareCounts[i];
    valueCounts[i] = 0;
    squareCounts[i] = 0;
  }
  cpuSeconds = ElapsedRunSeconds();
  return CheckReportSize(cpuSeconds);
}
