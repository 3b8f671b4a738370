/* Intrusive tail queue.
 *
 * The head holds the first element and the link to fill on the next append;
 * each element holds its next element and the link that points at it. This
 * gives constant-time append, insertion in front of a known element, removal
 * and forward iteration. A queue is emptied by resetting its head alone. A head
 * must not move once initialised: the tail link may point into it. */
#pragma once

template <typename T> struct tailq_head {
  T *first;
  T **last;
};

template <typename T> struct tailq_link {
  T *next;
  T **prev;
};

/* Makes the queue empty. */
template <typename T> inline void tailq_init(tailq_head<T> *head) {
  head->first = nullptr;
  head->last = &head->first;
}

template <typename T> inline bool tailq_empty(const tailq_head<T> *head) {
  return head->first == nullptr;
}

/* Appends elm at the tail of the queue. */
template <typename T>
inline void tailq_append(tailq_head<T> *head, T *elm, tailq_link<T> T::*link) {
  (elm->*link).next = nullptr;
  (elm->*link).prev = head->last;
  *head->last = elm;
  head->last = &(elm->*link).next;
}

/* Inserts elm in front of at, which is in the queue. */
template <typename T>
inline void tailq_insert_before(T *at, T *elm, tailq_link<T> T::*link) {
  (elm->*link).prev = (at->*link).prev;
  (elm->*link).next = at;
  *(at->*link).prev = elm;
  (at->*link).prev = &(elm->*link).next;
}

/* Unlinks elm, which is in the queue. */
template <typename T>
inline void tailq_remove(tailq_head<T> *head, T *elm, tailq_link<T> T::*link) {
  T *next = (elm->*link).next;
  if (next)
    (next->*link).prev = (elm->*link).prev;
  else
    head->last = (elm->*link).prev;
  *(elm->*link).prev = next;
}

template <typename T>
inline T *tailq_next(const T *elm, tailq_link<T> T::*link) {
  return (elm->*link).next;
}
