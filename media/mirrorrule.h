#ifndef MIRRORRULE_H
#define MIRRORRULE_H

// Whether the picture shows mirrored. The user flips it; it also flips by itself whenever
// the camera's angle moves from one half of the circle into the other, so that a camera
// turned over keeps showing the scene the same way round. The two halves are the bands
// 20..160 and 200..340 degrees; an angle near 0 or 180 degrees, or outside 0..359,
// belongs to neither and changes nothing.
//
// The display applies the rule to the pictures it shows; a recording applies it to the
// pictures it takes, and keeps the result with each one for the replay.
class MirrorRule
{
public:
    // Fresh, the picture is not mirrored, and the upper band counts as seen. reset()
    // starts again, mirrored or not, as if the last angle had been in the band that says so.
    void reset(bool mirrored)
    {
        mirror = mirrored;
        upperBand = appliedBand = mirrored;
    }

    // The angle of the next picture.
    void see(int degree)
    {
        if (degree >= 20 && degree <= 160)
            upperBand = false;
        else if (degree >= 200 && degree <= 340)
            upperBand = true;
        if (upperBand != appliedBand) {
            mirror = !mirror;
            appliedBand = upperBand;
        }
    }

    void toggle() { mirror = !mirror; }
    bool mirrored() const { return mirror; }

    // The user's part of the state, which the bands leave alone: the same choice put
    // into a rule that has seen other angles gives the same answer as this one would.
    bool choice() const { return mirror != appliedBand; }
    void setChoice(bool value) { mirror = value != appliedBand; }

private:
    bool mirror = false;
    bool upperBand = true;   // band of the last angle that fell into one
    bool appliedBand = true; // band last folded into `mirror`
};

#endif // MIRRORRULE_H
