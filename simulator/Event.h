#ifndef EVENT_H
#define EVENT_H

class BaseActionClass;

// A pending completion of a group.
class Event {
 public:
  Event() : time(-1.0), enablingTime(0.0), action(nullptr) {}
  Event(double time, double enablingTime, BaseActionClass* action)
      : time(time), enablingTime(enablingTime), action(action) {}

  double time;             // when the group completes: the heap key
  double enablingTime;     // when the event was scheduled
  BaseActionClass* action;  // the group, not owned
};

#endif
