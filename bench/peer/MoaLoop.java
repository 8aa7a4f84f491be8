import com.yahoo.labs.samoa.instances.Instance;
import moa.classifiers.core.driftdetection.ChangeDetector;
import moa.classifiers.oneclass.HSTrees;

/** The benchmark's loops over MOA's models, run inside the JVM: no Python between two rows. */
public final class MoaLoop {
    private MoaLoop() {}

    /** Scores each row, then trains on it; fills scores and returns the loop's nanoseconds. */
    public static long scoreThenLearn(HSTrees model, Instance[] rows, double[] scores) {
        long start = System.nanoTime();
        for (int i = 0; i < rows.length; i++) {
            scores[i] = model.getAnomalyScore(rows[i]);
            model.trainOnInstance(rows[i]);
        }
        return System.nanoTime() - start;
    }

    /** Feeds each value to the detector; drift[i] tells whether it reported a change right after value i. */
    public static long detect(ChangeDetector detector, double[] values, boolean[] drift) {
        long start = System.nanoTime();
        for (int i = 0; i < values.length; i++) {
            detector.input(values[i]);
            drift[i] = detector.getChange();
        }
        return System.nanoTime() - start;
    }
}
