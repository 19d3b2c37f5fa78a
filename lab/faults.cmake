# SPDX-License-Identifier: MIT
# Every planted fault once. NAME is the patch lab/faults/NAME.patch for the real program;
# SWITCH plants the same fault in the model, whose RUN (safety or liveness) must report
# what the next column says; TREATMENT is what the lab does to the real faulty program,
# and the last column what that run must show (lab/demo.py says what broke). The model's
# tests and the lab's both read this table, each with its own fault().
set(order_lost "assertion violated \\(\\(order_number==i\\)&&\\(item_number==\\(100\\+i\\)\\)\\)")
set(both_held "assertion violated \\(\\(data_mutex==0\\)\\|\\|\\(data_mutex!=console_mutex\\)\\)")
#     NAME                    SWITCH                        RUN       THE MODEL REPORTS                                TREATMENT     THE REAL PROGRAM SHOWS
fault(if_in_put               MUTANT_IF_PUT                 safety    "${order_lost}"                                  spurious_put  "never processed")
fault(if_in_take              MUTANT_IF_TAKE                safety    "${order_lost}"                                  spurious_take "processed where order 0, item 12 was due")
fault(no_signal_after_put     MUTANT_NO_SIGNAL_EMPTY        safety    "invalid end state"                              day           "hung: .*consumer in ringTake")
fault(no_signal_after_take    MUTANT_NO_SIGNAL_FULL         liveness  "acceptance cycle"                               day           "hung: .*producer in ringPut")
fault(full_off_by_one         MUTANT_FULL_OFF_BY_ONE        safety    "${order_lost}"                                  day           "processed twice")
fault(wrap_off_by_one         MUTANT_WRAP_OFF_BY_ONE        safety    "${order_lost}"                                  day           "processed where")
fault(copy_after_unlock       MUTANT_COPY_AFTER_UNLOCK      safety    "${order_lost}"                                  helgrind      "data race: .* in ringTake")
fault(decrement_after_unlock  MUTANT_DECREMENT_AFTER_UNLOCK safety    "invalid end state"                              helgrind      "data race: .* in ringTake")
fault(both_mutexes            MUTANT_BOTH_MUTEXES           safety    "${both_held}"                                   both_held     "holds both mutexes")
fault(confirmation_after_put  MUTANT_CONFIRM_AFTER_PUT      safety    "assertion violated \\(confirmed>order_number\\)" day           "between a prompt and its confirmation")
