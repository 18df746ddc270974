REDUCE_OPS = ["ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum", "ReduceL2", "ReduceL1", "ReduceProd",
              "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare"]
