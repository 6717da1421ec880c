"""Small shared data set for the suite."""

import numpy as np

# Two well separated groups; the queries sit near each group and in between.
TRAIN_X = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [5.0, 5.0], [6.0, 5.0], [5.0, 6.0]])
TRAIN_Y = ["a", "a", "a", "b", "b", "b"]
QUERIES = np.array([[0.2, 0.1], [5.5, 5.5], [2.4, 2.4], [10.0, 0.0]])
